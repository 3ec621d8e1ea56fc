// One collected shop: the row the engine appends to the result list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"

namespace shopwalk {

// The result list's columns, in order. Column 0 is the row's 1-based position in the list; the
// others come from the shop's pages.
enum ResultColumn : int {
  IndexColumn = 0,
  ShopNameColumn = 1,
  ReputationColumn = 2,
  MessengerColumn = 3,
  OpeningDateColumn = 4,
  ShopAddressColumn = 5,
};
inline constexpr int ResultColumnCount = 6;

// The cells of one row of the result list, GBK bytes, indexed by ResultColumn.
using ResultRow = std::array<std::string, ResultColumnCount>;

// The most bytes a field of a row holds: a longer text on a page is cut to its leading whole
// characters that fit (CutToBytes), so no shop owner can fill the list, the store or an export
// with one field.
inline constexpr int MaxFieldBytes = 4096;

// What a collection task found for one shop. Texts are GBK bytes exactly as cut from the pages,
// each at most MaxFieldBytes long.
struct ShopRecord {
  std::int32_t shopId = 0;
  std::string name;
  // The seller reputation; "0" when the rating page gave none.
  std::string reputation;
  std::string messenger;
  // May be empty.
  std::string openingDate;
  // The shop's home page URL.
  std::string address;

  // The row this record makes at 1-based position `position` in the list.
  ResultRow Row(std::string_view position) const {
    return {std::string(position), name, reputation, messenger, openingDate, address};
  }
};

// Read access to a table of result rows (the window's list, say) for one reading pass.
class ResultRows {
 public:
  virtual ~ResultRows() = default;
  virtual int RowCount() const = 0;
  // The cell's bytes; empty for a row or column that does not exist.
  virtual std::string CellText(int row, int column) const = 0;
  // The ID of the row's shop, or nothing when it is not known. By default it is read from the
  // address cell, which the engine builds from the ID as "http://shop<ID>.<domain>".
  virtual std::optional<std::int64_t> ShopId(int row) const {
    return ShopIdInAddress(CellText(row, ShopAddressColumn));
  }

  // The ID in a shop address "http://shop<ID>.<domain>" (or "https://", any letter case), the ID
  // written in decimal without leading zeros and the domain not empty; nothing for any other text.
  static std::optional<std::int64_t> ShopIdInAddress(std::string_view address) {
    for (std::string_view scheme : std::array<std::string_view, 2>{"http://shop", "https://shop"}) {
      if (!StartsWithIgnoringAsciiCase(address, scheme)) continue;
      std::string_view rest = address.substr(scheme.size());
      std::size_t digits = 0;
      while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
      // 18 digits always fit in 64 bits.
      if (digits == 0 || digits > 18 || (digits > 1 && rest[0] == '0')) return std::nullopt;
      if (digits + 1 >= rest.size() || rest[digits] != '.') return std::nullopt;
      std::int64_t id = 0;
      for (std::size_t i = 0; i < digits; ++i) id = id * 10 + (rest[i] - '0');
      return id;
    }
    return std::nullopt;
  }
};

// Rows held in a vector, read through ResultRows; the vector must outlive the reading.
class VectorRows : public ResultRows {
 public:
  explicit VectorRows(const std::vector<ResultRow>& rows) : rows_(rows) {}
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  std::string CellText(int row, int column) const override {
    if (row < 0 || row >= RowCount() || column < 0 || column >= ResultColumnCount) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }

 private:
  const std::vector<ResultRow>& rows_;
};

}  // namespace shopwalk
