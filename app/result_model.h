// The rows of the result list: six cells per row, each holding GBK bytes exactly as written. Rows
// are stored compactly (one heap block per row holding all six cells), so a million rows stay
// light. The view sees the cells decoded to Unicode, an invalid byte sequence as U+FFFD; reading a
// cell back through GetCellText gives the stored bytes unchanged. Nothing in the view edits or
// sorts the rows: they stay in the order they were inserted. UI-thread only, like every model.
#pragma once

#include <QAbstractTableModel>
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collect/shop_record.h"

namespace shopwalk {

// Alignment of a result column's cells and caption.
Qt::Alignment ResultColumnAlignment(int column);
// Width of a result column in pixels.
int ResultColumnWidth(int column);

class ResultModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  static constexpr int ColumnCount = ResultColumnCount;

  explicit ResultModel(QObject* parent = nullptr);
  ~ResultModel() override;

  // Inserts a row before `position` (negative, or at or past the end: appends); its first cell
  // holds `text`, the others are empty. Returns the new row's index, or -1 when the list cannot
  // take another row.
  int InsertRow(int position = -1, std::string_view text = {});
  // Appends whole rows at the end, in one insertion. False, appending nothing, when the list
  // cannot take them.
  bool AppendRows(const std::vector<ResultRow>& rows);
  // False, changing nothing, for a row or column that does not exist.
  bool SetCellText(int row, int column, std::string_view text);
  // The stored bytes; empty for a row or column that does not exist.
  std::string GetCellText(int row, int column) const;
  int RowCount() const { return static_cast<int>(rows_.size()); }
  // The column's caption in GBK; empty for a column that does not exist.
  static std::string ColumnCaption(int column);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  // One row: a single block holding the end offsets of the six cells followed by their bytes;
  // no block at all while every cell is empty.
  class Row {
   public:
    std::string_view Cell(int column) const;
    // False when the row would outgrow its 32-bit offsets.
    bool SetCell(int column, std::string_view text);
    bool SetCells(const std::array<std::string_view, ResultColumnCount>& cells);

   private:
    std::unique_ptr<char[]> block_;
  };

  std::vector<Row> rows_;
};

}  // namespace shopwalk
