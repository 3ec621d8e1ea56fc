// Identifiers of the collector window's controls: the widgets' object names, by which tests and
// tools find them.
#pragma once

#include <string_view>

namespace shopwalk::ctl {

inline constexpr std::string_view SettingsGroup = "分组框1";
inline constexpr std::string_view AddressLabel = "标签1";
inline constexpr std::string_view ShopIdEdit = "编辑框_店铺ID";
inline constexpr std::string_view ThreadCountLabel = "标签3";
inline constexpr std::string_view ThreadCountEdit = "编辑框_线程数";
inline constexpr std::string_view StartButton = "按钮_开始";
inline constexpr std::string_view StopButton = "按钮_停止";
inline constexpr std::string_view ExportButton = "按钮_导出";
inline constexpr std::string_view LogoPicture = "图片框_Logo";
inline constexpr std::string_view MessengerOnlyCheck = "选择框1";
inline constexpr std::string_view ResultList = "超级列表框_采集结果";
inline constexpr std::string_view StatusBar = "状态条1";
inline constexpr std::string_view FileDialog = "通用对话框1";

}  // namespace shopwalk::ctl
