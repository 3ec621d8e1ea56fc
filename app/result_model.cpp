#include "app/result_model.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "app/qt_text.h"
#include "collect/gbk.h"
#include "store/result_columns.h"

namespace shopwalk {

namespace {

constexpr std::array<int, ResultColumnCount> ColumnWidths = {40, 120, 70, 100, 75, 160};
constexpr std::array<Qt::AlignmentFlag, ResultColumnCount> ColumnAlignments = {
    Qt::AlignLeft,    Qt::AlignHCenter, Qt::AlignHCenter,
    Qt::AlignHCenter, Qt::AlignLeft,    Qt::AlignLeft};

constexpr std::size_t HeaderBytes = sizeof(std::uint32_t) * ResultColumnCount;

bool ValidColumn(int column) {
  return column >= 0 && column < ResultColumnCount;
}

}  // namespace

Qt::Alignment ResultColumnAlignment(int column) {
  return ValidColumn(column) ? (ColumnAlignments[column] | Qt::AlignVCenter) : Qt::AlignLeft;
}

int ResultColumnWidth(int column) {
  return ValidColumn(column) ? ColumnWidths[column] : 0;
}

std::string_view ResultModel::Row::Cell(int column) const {
  if (!block_) return {};
  std::uint32_t ends[ResultColumnCount];
  std::memcpy(ends, block_.get(), HeaderBytes);
  std::uint32_t begin = column == 0 ? 0 : ends[column - 1];
  return std::string_view(block_.get() + HeaderBytes + begin, ends[column] - begin);
}

bool ResultModel::Row::SetCell(int column, std::string_view text) {
  std::array<std::string_view, ResultColumnCount> cells;
  for (int c = 0; c < ResultColumnCount; ++c) cells[c] = c == column ? text : Cell(c);
  return SetCells(cells);
}

bool ResultModel::Row::SetCells(const std::array<std::string_view, ResultColumnCount>& cells) {
  std::uint64_t total = 0;
  for (const std::string_view cell : cells) total += cell.size();
  if (total > UINT32_MAX) return false;
  if (total == 0) {
    block_.reset();
    return true;
  }
  std::unique_ptr<char[]> block(new char[HeaderBytes + total]);
  std::uint32_t ends[ResultColumnCount];
  std::uint32_t end = 0;
  char* bytes = block.get() + HeaderBytes;
  for (int c = 0; c < ResultColumnCount; ++c) {
    if (!cells[c].empty()) std::memcpy(bytes + end, cells[c].data(), cells[c].size());
    end += static_cast<std::uint32_t>(cells[c].size());
    ends[c] = end;
  }
  std::memcpy(block.get(), ends, HeaderBytes);
  block_ = std::move(block);
  return true;
}

ResultModel::ResultModel(QObject* parent) : QAbstractTableModel(parent) {}

ResultModel::~ResultModel() = default;

int ResultModel::InsertRow(int position, std::string_view text) {
  const int count = RowCount();
  if (rows_.size() >= static_cast<std::size_t>(INT_MAX)) return -1;
  Row row;
  try {
    if (!row.SetCell(0, text)) return -1;
    if (rows_.size() == rows_.capacity()) rows_.reserve(rows_.size() + rows_.size() / 2 + 64);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const int at = position < 0 || position >= count ? count : position;
  beginInsertRows(QModelIndex(), at, at);
  rows_.insert(rows_.begin() + at, std::move(row));
  endInsertRows();
  return at;
}

bool ResultModel::AppendRows(const std::vector<ResultRow>& rows) {
  if (rows.empty()) return true;
  if (rows.size() > static_cast<std::size_t>(INT_MAX) - rows_.size()) return false;
  std::vector<Row> made(rows.size());
  try {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::array<std::string_view, ResultColumnCount> cells;
      for (int c = 0; c < ResultColumnCount; ++c) cells[c] = rows[i][static_cast<std::size_t>(c)];
      if (!made[i].SetCells(cells)) return false;
    }
    rows_.reserve(rows_.size() + made.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  const int first = RowCount();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(made.size()) - 1);
  for (Row& row : made) rows_.push_back(std::move(row));
  endInsertRows();
  return true;
}

bool ResultModel::SetCellText(int row, int column, std::string_view text) {
  if (row < 0 || row >= RowCount() || !ValidColumn(column)) return false;
  try {
    if (!rows_[row].SetCell(column, text)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  const QModelIndex cell = index(row, column);
  emit dataChanged(cell, cell, {Qt::DisplayRole});
  return true;
}

std::string ResultModel::GetCellText(int row, int column) const {
  if (row < 0 || row >= RowCount() || !ValidColumn(column)) return {};
  return std::string(rows_[row].Cell(column));
}

std::string ResultModel::ColumnCaption(int column) {
  return ValidColumn(column) ? Utf8ToGbk(ResultColumnCaptions[column]) : std::string();
}

int ResultModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : RowCount();
}

int ResultModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ResultColumnCount;
}

QVariant ResultModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  switch (role) {
    case Qt::DisplayRole: {
      std::string_view cell = rows_[index.row()].Cell(index.column());
      if (cell.empty()) return QString();
      return FromGbk(cell);
    }
    case Qt::TextAlignmentRole:
      return static_cast<int>(ResultColumnAlignment(index.column()));
    default:
      return {};
  }
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || !ValidColumn(section)) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  switch (role) {
    case Qt::DisplayRole:
      return FromUtf8(ResultColumnCaptions[section]);
    case Qt::TextAlignmentRole:
      return static_cast<int>(ResultColumnAlignment(section));
    default:
      return {};
  }
}

Qt::ItemFlags ResultModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

}  // namespace shopwalk
