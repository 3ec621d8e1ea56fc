#include "app/result_view.h"

#include <QApplication>
#include <QHeaderView>

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
  QTableView::setModel(model);
  for (int column = 0; model && column < model->columnCount(); ++column) {
    setColumnWidth(column, ResultColumnWidth(column));
  }
}

void ResultView::focusInEvent(QFocusEvent* event) {
  QTableView::focusInEvent(event);
  ShowSelection(this, true);
}

void ResultView::focusOutEvent(QFocusEvent* event) {
  QTableView::focusOutEvent(event);
  ShowSelection(this, false);
}

}  // namespace shopwalk
