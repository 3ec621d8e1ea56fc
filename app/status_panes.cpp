#include "app/status_panes.h"

#include <QLabel>

#include "app/qt_text.h"

namespace shopwalk {

namespace {

// Right edges of the panes; the last pane reaches the end of the bar.
constexpr std::array<int, StatusPaneCount - 1> PaneRightEdges = {100, 400};
// Space between neighbouring panes and above them.
constexpr int PaneGap = 2;

}  // namespace

StatusPanes::StatusPanes(QWidget* parent) : QWidget(parent) {
  for (int i = 0; i < StatusPaneCount; ++i) {
    auto* pane = new QLabel(this);
    pane->setObjectName(QStringLiteral("pane%1").arg(i));
    pane->setTextFormat(Qt::PlainText);
    pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pane->setLineWidth(1);
    pane->setIndent(3);
    pane->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pane->setText(FromUtf8(InitialPaneTexts[i]));
    panes_[i] = pane;
  }
  panes_[2]->setToolTip(panes_[2]->text());
  setFocusPolicy(Qt::NoFocus);
}

void StatusPanes::SetPaneText(int pane, const QString& text) {
  if (pane < 0 || pane >= StatusPaneCount) return;
  panes_[pane]->setText(text);
}

QString StatusPanes::PaneText(int pane) const {
  return pane >= 0 && pane < StatusPaneCount ? panes_[pane]->text() : QString();
}

QLabel* StatusPanes::Pane(int pane) const {
  return pane >= 0 && pane < StatusPaneCount ? panes_[pane] : nullptr;
}

QSize StatusPanes::sizeHint() const {
  return QSize(PaneRightEdges.back() + 100, Height);
}

void StatusPanes::resizeEvent(QResizeEvent*) {
  int left = 0;
  for (int i = 0; i < StatusPaneCount; ++i) {
    int right = i < StatusPaneCount - 1 ? PaneRightEdges[i] : width();
    // A pane never extends past the bar, however narrow the bar is.
    right = qMin(right, width());
    int paneWidth = qMax(0, right - left - (i < StatusPaneCount - 1 ? PaneGap : 0));
    panes_[i]->setGeometry(left, PaneGap, paneWidth, height() - PaneGap);
    left = qMin(right, width());
  }
}

}  // namespace shopwalk
