// The result list's view: a report with grid lines and the column captions, whole-row single
// selection that is hidden while the list has no focus, fixed uniform row heights (light with a
// million rows), resizable but fixed-order columns, no sorting, no editing, no row header.
#pragma once

#include <QTableView>

namespace shopwalk {

class ResultView : public QTableView {
  Q_OBJECT
 public:
  explicit ResultView(QWidget* parent = nullptr);

  // Attaches the model and gives the columns their widths.
  void setModel(QAbstractItemModel* model) override;

  // Height of every row.
  static int RowHeight(const QFontMetrics& metrics);

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

}  // namespace shopwalk
