// The result list's view: a report with grid lines and the column captions, whole-row single
// selection that is hidden while the list has no focus, fixed uniform row heights (light with a
// million rows), resizable but fixed-order columns, no sorting, no editing, no row header.
//
// A run appends rows several times a second, mostly below the rows in sight. An append repaints
// only what it changes: the appended rows when they are in sight, and the vertical scroll bar
// when its handle moves or shrinks (nothing at all once the list is long). Anything else that
// changes the list lays it out and repaints it as usual.
#pragma once

#include <QTableView>
#include <array>

namespace shopwalk {

class ResultView : public QTableView {
  Q_OBJECT
 public:
  explicit ResultView(QWidget* parent = nullptr);

  // Attaches the model and gives the columns their widths.
  void setModel(QAbstractItemModel* model) override;

  // Height of every row.
  static int RowHeight(const QFontMetrics& metrics);

  // Lays the rows out after a change of the model: after appended rows only, it repaints them
  // and updates the scroll bar; after anything else it lays out and repaints the whole list.
  void doItemsLayout() override;

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // What the rows in sight depend on besides the model.
  struct Sight {
    QSize viewport;
    int verticalOffset = 0;
    int horizontalOffset = 0;
    int rowHeight = 0;
    int columnsWidth = 0;
    bool operator==(const Sight&) const = default;
  };
  Sight CurrentSight() const;
  // Brings the vertical scroll bar's range up to the row count after rows were appended.
  void UpdateRowsRange();

  void NoteRowsInserted(const QModelIndex& parent, int first, int last);
  void NoteCellsChanged(const QModelIndex& topLeft);
  void NoteOtherChange() { otherChange_ = true; }

  std::array<QMetaObject::Connection, 9> modelConnections_;
  // The first row appended since the last layout; -1 for none.
  int firstAppendedRow_ = -1;
  // Something besides appending rows changed what the list shows since the last layout.
  bool otherChange_ = true;
  // The sight at the last layout; appends are only taken as out of sight while it holds.
  Sight laidOutSight_;
  // Whether the vertical scroll bar's range, as last changed, needs the bar.
  bool rowsBarNeeded_ = false;
};

}  // namespace shopwalk
