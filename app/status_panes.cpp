#include "app/status_panes.h"

#include <QLabel>
#include <QScreen>

#include "app/qt_text.h"

namespace shopwalk {

namespace {

// Right edges of the panes; the last pane reaches the end of the bar.
constexpr std::array<int, StatusPaneCount - 1> PaneRightEdges = {100, 400};
// Space between neighbouring panes and above them.
constexpr int PaneGap = 2;

// One frame of `screen` in milliseconds; 60 frames a second when the screen does not say.
int FrameMilliseconds(const QScreen* screen) {
  const qreal rate = screen ? screen->refreshRate() : 0;
  return rate >= 1 ? qBound(1, qRound(1000 / rate), 100) : 16;
}

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
    latest_[i] = FromUtf8(InitialPaneTexts[i]);
    pane->setText(latest_[i]);
    panes_[i] = pane;
  }
  panes_[2]->setToolTip(panes_[2]->text());
  setFocusPolicy(Qt::NoFocus);
  nextFrame_.setSingleShot(true);
  connect(&nextFrame_, &QTimer::timeout, this, &StatusPanes::ShowLatestTexts);
}

void StatusPanes::SetPaneText(int pane, const QString& text) {
  if (pane < 0 || pane >= StatusPaneCount) return;
  latest_[pane] = text;
  if (nextFrame_.isActive()) return;  // shown with the others of this frame
  const int frame = FrameMilliseconds(screen());
  const qint64 sinceShown = lastShown_.isValid() ? lastShown_.elapsed() : frame;
  if (sinceShown >= frame) {
    // The first write after a quiet frame is shown at once, in the same paint as whatever else
    // the caller changes; later writes of the frame wait for its end and show only the last.
    ShowLatestTexts();
  } else {
    nextFrame_.start(static_cast<int>(frame - sinceShown));
  }
}

void StatusPanes::ShowLatestTexts() {
  lastShown_.start();
  for (int i = 0; i < StatusPaneCount; ++i) {
    // QLabel::setText lays the label out anew and repaints it even for the text it has.
    if (panes_[i]->text() != latest_[i]) panes_[i]->setText(latest_[i]);
  }
}

QString StatusPanes::PaneText(int pane) const {
  return pane >= 0 && pane < StatusPaneCount ? latest_[pane] : QString();
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
