#include "app/result_view.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <optional>

#include "app/result_model.h"

namespace shopwalk {

namespace {

// Colours of the selection: the usual highlight with the focus, none without it.
void ShowSelection(QWidget* view, bool show) {
  QPalette colours = view->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    colours.setColor(group, QPalette::Highlight,
                     show ? QApplication::palette().color(group, QPalette::Highlight)
                          : colours.color(group, QPalette::Base));
    colours.setColor(group, QPalette::HighlightedText,
                     show ? QApplication::palette().color(group, QPalette::HighlightedText)
                          : colours.color(group, QPalette::Text));
  }
  view->setPalette(colours);
}

// The list's vertical scroll bar. While rows are appended only its range changes; once the list
// is long the handle keeps its least length and its place at the top, and such a change leaves
// the bar's picture as it is: it is then not repainted (each repaint of the tall bar costs more
// than all the rest of an append, the toolkit spreading its fills over threads). Any change that
// alters the picture repaints the bar as usual.
class ListScrollBar : public QScrollBar {
 public:
  ListScrollBar(Qt::Orientation orientation, QWidget* parent) : QScrollBar(orientation, parent) {}

 protected:
  void sliderChange(SliderChange change) override {
    if (change == SliderRangeChange && shown_ && *shown_ == CurrentPicture() &&
        !style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this)) {
      return;
    }
    QScrollBar::sliderChange(change);
  }

  void paintEvent(QPaintEvent* event) override {
    shown_ = CurrentPicture();
    QScrollBar::paintEvent(event);
  }

 private:
  // What the bar's painting depends on that a change of its range can change: the handle, and
  // whether the value is at either end of the range.
  struct Picture {
    QRect handle;
    int value = 0;
    int position = 0;
    bool atMinimum = false;
    bool atMaximum = false;
    bool operator==(const Picture&) const = default;
  };

  Picture CurrentPicture() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    Picture picture;
    picture.handle =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    picture.value = option.sliderValue;
    picture.position = option.sliderPosition;
    picture.atMinimum = option.sliderValue == option.minimum;
    picture.atMaximum = option.sliderValue == option.maximum;
    return picture;
  }

  // The picture last painted; none before the first paint. A paint still to come shows the
  // current picture anyway.
  std::optional<Picture> shown_;
};

}  // namespace

ResultView::ResultView(QWidget* parent) : QTableView(parent) {
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(1);
  setShowGrid(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSortingEnabled(false);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setTabKeyNavigation(false);
  setFocusPolicy(Qt::StrongFocus);

  // The view connected the bar it replaces to these; the new one needs them too.
  auto* rowsBar = new ListScrollBar(Qt::Vertical, this);
  setVerticalScrollBar(rowsBar);
  connect(rowsBar, &QScrollBar::actionTriggered, this, &ResultView::verticalScrollbarAction);
  connect(rowsBar, &QScrollBar::valueChanged, this, &ResultView::verticalScrollbarValueChanged);
  // The scroll area lays its scroll bars out anew after every change of the bar's range, that is
  // after every appended row, and that layout repaints both bars whole. Only whether the bar is
  // needed at all can change that layout, so it is asked for only then. (Should the toolkit's
  // slot go by another name, its own connection stays.)
  if (disconnect(rowsBar, SIGNAL(rangeChanged(int, int)), this, SLOT(_q_showOrHideScrollBars()))) {
    connect(rowsBar, &QScrollBar::rangeChanged, this, [this](int minimum, int maximum) {
      const bool needed = minimum < maximum;
      if (needed == rowsBarNeeded_) return;
      rowsBarNeeded_ = needed;
      QMetaObject::invokeMethod(this, "_q_showOrHideScrollBars", Qt::QueuedConnection);
    });
  }

  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);
  ShowSelection(this, false);

  // Every row is as high as every other, so the view never measures rows.
  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setMinimumSectionSize(1);
  rows->setDefaultSectionSize(RowHeight(fontMetrics()));

  QHeaderView* columns = horizontalHeader();
  columns->setSectionsMovable(false);
  columns->setSectionsClickable(true);
  columns->setSortIndicatorShown(false);
  columns->setHighlightSections(false);
  columns->setStretchLastSection(false);
  columns->setSectionResizeMode(QHeaderView::Interactive);
}

int ResultView::RowHeight(const QFontMetrics& metrics) {
  return metrics.height() + 4;
}

void ResultView::setModel(QAbstractItemModel* model) {
  for (auto& connection : modelConnections_) disconnect(connection);
  QTableView::setModel(model);
  otherChange_ = true;
  firstAppendedRow_ = -1;
  if (model) {
    using Model = QAbstractItemModel;
    auto other = [this] { NoteOtherChange(); };
    modelConnections_[0] =
        connect(model, &Model::rowsInserted, this, &ResultView::NoteRowsInserted);
    modelConnections_[1] =
        connect(model, &Model::dataChanged, this,
                [this](const QModelIndex& topLeft) { NoteCellsChanged(topLeft); });
    modelConnections_[2] = connect(model, &Model::rowsRemoved, this, other);
    modelConnections_[3] = connect(model, &Model::rowsMoved, this, other);
    modelConnections_[4] = connect(model, &Model::columnsInserted, this, other);
    modelConnections_[5] = connect(model, &Model::columnsRemoved, this, other);
    modelConnections_[6] = connect(model, &Model::columnsMoved, this, other);
    modelConnections_[7] = connect(model, &Model::modelReset, this, other);
    modelConnections_[8] = connect(model, &Model::layoutChanged, this, other);
  }
  for (int column = 0; model && column < model->columnCount(); ++column) {
    setColumnWidth(column, ResultColumnWidth(column));
  }
}

void ResultView::NoteRowsInserted(const QModelIndex& parent, int first, int last) {
  if (parent.isValid() || last != model()->rowCount() - 1) {
    otherChange_ = true;
  } else if (firstAppendedRow_ < 0 || first < firstAppendedRow_) {
    firstAppendedRow_ = first;
  }
}

void ResultView::NoteCellsChanged(const QModelIndex& topLeft) {
  // While a layout is pending the view leaves changed cells to it; only the appended rows may be
  // left out of the repaint.
  if (firstAppendedRow_ < 0 || topLeft.row() < firstAppendedRow_) otherChange_ = true;
}

ResultView::Sight ResultView::CurrentSight() const {
  Sight sight;
  sight.viewport = viewport()->size();
  sight.verticalOffset = verticalOffset();
  sight.horizontalOffset = horizontalOffset();
  sight.rowHeight = verticalHeader()->defaultSectionSize();
  sight.columnsWidth = horizontalHeader()->length();
  return sight;
}

void ResultView::doItemsLayout() {
  const bool onlyAppended =
      !otherChange_ && firstAppendedRow_ >= 0 && CurrentSight() == laidOutSight_;
  const int firstAppended = firstAppendedRow_;
  otherChange_ = false;
  firstAppendedRow_ = -1;
  if (!onlyAppended) {
    QTableView::doItemsLayout();
  } else {
    // The rows above the appended ones stay as they are painted: only the appended rows that are
    // in sight (none, once the list is longer than the view) and the scroll bar change.
    const int top = rowViewportPosition(firstAppended);
    const int lastRow = model()->rowCount() - 1;
    const int bottom = rowViewportPosition(lastRow) + rowHeight(lastRow);
    if (top < viewport()->height()) {
      viewport()->update(QRect(0, top, viewport()->width(), bottom - top + 1));
    }
    UpdateRowsRange();
  }
  laidOutSight_ = CurrentSight();
}

void ResultView::UpdateRowsRange() {
  // What the table view's full geometry update works out for the vertical scroll bar, when rows
  // are uniform, none hidden and more than the view can show. That update also lays the scroll
  // bars out anew, which repaints both whole: after an append nothing else of it can change.
  const QHeaderView* rows = verticalHeader();
  const int rowCount = rows->count();
  const int rowPixels = rows->defaultSectionSize();
  if (verticalScrollMode() != ScrollPerItem || rows->sectionResizeMode(0) != QHeaderView::Fixed ||
      rows->hiddenSectionCount() != 0 || rowPixels <= 0 ||
      maximumViewportSize().height() >= rows->length()) {
    updateGeometries();
    return;
  }
  const int rowsInView = qBound(1, viewport()->height() / rowPixels, rowCount);
  verticalScrollBar()->setRange(0, rowCount - rowsInView);
  verticalScrollBar()->setPageStep(rowsInView);
}

void ResultView::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  ShowSelection(this, true);
}

void ResultView::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  ShowSelection(this, false);
}

void ResultView::changeEvent(QEvent* event) {
  // A new font, style or palette changes how every row is drawn.
  otherChange_ = true;
  QTableView::changeEvent(event);
}

}  // namespace shopwalk
