// Fixed texts of the collector window that the engine, the handlers and the window share
// (UTF-8 here; through CollectorUi they travel as GBK).
#pragma once

#include <array>
#include <string_view>

namespace shopwalk {

inline constexpr int ResultColumnCount = 6;
// Captions of the result list's columns, in order.
inline constexpr std::array<std::string_view, ResultColumnCount> ResultColumnCaptions = {
    "序号", "店铺名称", "卖家信誉", "Quibo名", "创店时间", "店铺地址"};

inline constexpr int StatusPaneCount = 3;
// Initial texts of the status bar's panes, in order.
inline constexpr std::array<std::string_view, StatusPaneCount> InitialPaneTexts = {
    "运行状态:", "准备采集。。。", "软件制作：Mivu"};

inline constexpr std::string_view DefaultMessageCaption = "信息：";
inline constexpr std::string_view InitialThreadCount = "10";
inline constexpr std::string_view SettingsGroupCaption =
    "配置参数 ----- 起始店铺数字越大,开店时间越晚!";
inline constexpr std::string_view MessengerOnlyCaption = "只导出Quibo帐号";

}  // namespace shopwalk
