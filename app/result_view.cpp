#include "app/result_view.h"

#include <QHeaderView>
#include <QStyledItemDelegate>

#include "app/result_model.h"

namespace shopwalk {

namespace {

// Draws the selected row as unselected while the view has no focus.
class FocusSelectionDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (option.widget && !option.widget->hasFocus()) {
      QStyleOptionViewItem plain(option);
      plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
      QStyledItemDelegate::paint(painter, plain, index);
      return;
    }
    QStyledItemDelegate::paint(painter, option, index);
  }
};

}  // namespace

ResultView::ResultView(QWidget* parent) : QTableView(parent) {
  setItemDelegate(new FocusSelectionDelegate(this));
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

  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);

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
  QTableView::setModel(model);
  for (int column = 0; model && column < model->columnCount(); ++column) {
    setColumnWidth(column, ResultColumnWidth(column));
  }
}

void ResultView::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  viewport()->update();
}

void ResultView::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  viewport()->update();
}

}  // namespace shopwalk
