// The captions of the result columns (UTF-8), in ResultColumn order: the result list's headers
// and the header line of exports that carry one.
#pragma once

#include <array>
#include <string_view>

#include "collect/shop_record.h"

namespace shopwalk {

inline constexpr std::array<std::string_view, ResultColumnCount> ResultColumnCaptions = {
    "序号", "店铺名称", "卖家信誉", "Quibo名", "创店时间", "店铺地址"};

// The caption of the workbook's last column: the checks a row failed (RowChecksText).
inline constexpr std::string_view ChecksColumnCaption = "检查";

}  // namespace shopwalk
