// The collector window's own words (UTF-8): captions, the status bar's texts and the messages of
// its handlers.
#pragma once

#include <array>
#include <string_view>

namespace shopwalk {

inline constexpr int StatusPaneCount = 3;
// Initial texts of the status bar's panes, in order.
inline constexpr std::array<std::string_view, StatusPaneCount> InitialPaneTexts = {
    "运行状态:", "准备采集。。。", "软件制作：Mivu"};

// Progress of a run, in the status bar: pane 1 shows the shop being collected (followed by its
// address) or the shop just collected (address between prefix and suffix); pane 0 the number of
// rows (between prefix and suffix).
inline constexpr std::string_view CollectingStatus = "正在采集店铺：";
inline constexpr std::string_view CollectedPrefix = "采集店铺：";
inline constexpr std::string_view CollectedSuffix = "成功采集！";
inline constexpr std::string_view RowCountPrefix = "已采集：";
inline constexpr std::string_view RowCountSuffix = "个";

// The walk paused: the reason, then the seconds to the next try between prefix and suffix.
inline constexpr std::string_view PausedOutage = "网络异常，暂停采集，";
inline constexpr std::string_view PausedRateLimited = "服务器要求暂停，暂停采集，";
// The walk held by the results store (its server out of reach): no seconds follow.
inline constexpr std::string_view PausedStoreBehind = "结果库暂时无法写入，暂停采集，等待恢复";
// Shown while the walk holds because the pages no longer match the markers, until Stop.
inline constexpr std::string_view PausedPagesDoNotMatch =
    "页面已与标记不符，停止发放新店铺，请停止后修正标记再继续";
inline constexpr std::string_view PausedNextTryPrefix = "";
inline constexpr std::string_view PausedNextTrySuffix = " 秒后重试";
// Follows the seconds while a probe is out asking whether the marketplace is back.
inline constexpr std::string_view PausedProbeOut = "（正在探测）";
// Shops in trouble, in the status bar's last pane while any exist: waiting, then failed, then
// (when the pages stopped matching the markers) the shops to ask again.
inline constexpr std::string_view WaitingShopsPrefix = "等待重试：";
inline constexpr std::string_view FailedShopsPrefix = " 个，失败：";
inline constexpr std::string_view ShopCountSuffix = " 个";
inline constexpr std::string_view CountSeparator = "，";
inline constexpr std::string_view ToRevisitPrefix = "待重采：";

inline constexpr std::string_view DefaultMessageCaption = "信息：";
inline constexpr std::string_view InitialThreadCount = "10";
inline constexpr std::string_view SettingsGroupCaption =
    "配置参数 ----- 起始店铺数字越大,开店时间越晚!";
inline constexpr std::string_view MessengerOnlyCaption = "只导出Quibo帐号";

// The question asked when the window closes, its caption and its buttons.
inline constexpr std::string_view SaveProgressQuestion = "是否保存当前进度？";
inline constexpr std::string_view SaveProgressCaption = "提示";
// Shown when the place cannot be saved: followed by the file, the reason and the unsaved place.
inline constexpr std::string_view SaveProgressFailed = "进度保存失败：";
inline constexpr std::string_view UnsavedPlace = "未能保存的起始店铺ID：";
// Shown in the status bar when the saved place is no number the walk can start after: followed by
// the text loaded.
inline constexpr std::string_view InvalidSavedPlace =
    "保存的起始店铺ID无效（应为 -2147483648 到 2147483647 的整数），请改正后再开始：";

// Put after the window's title while every connection goes to another address
// (SHOPWALK_CONNECT_TO): the address comes between prefix and suffix.
inline constexpr std::string_view ConnectToTitlePrefix = " — 连接发往 ";
inline constexpr std::string_view ConnectToTitleSuffix = "（SHOPWALK_CONNECT_TO）";
// The error box when SHOPWALK_CONNECT_TO is no HOST:PORT: followed by the value; the program
// ends.
inline constexpr std::string_view BadConnectTo =
    "环境变量 SHOPWALK_CONNECT_TO 应为“主机:端口”（主机名、IPv4 地址或 [IPv6 地址]，端口 1 到 "
    "65535），程序无法启动。当前的值：";

// The error box when config.ini's Proxy or User_Agent, or a proxy variable, cannot be taken:
// followed by the reason (in English, naming the setting); the program ends.
inline constexpr std::string_view BadWebSetting = "代理或 User-Agent 设置无效，程序无法启动：";

// Shown in the status bar when config.ini's Max_Attempts is no number from 1 to 1000: followed by
// the value; the default number of tries holds.
inline constexpr std::string_view InvalidMaxAttempts =
    "config.ini 中 Max_Attempts 应为 1 到 1000 的数字，已按默认每个店铺最多尝试 6 次：";

// Shown in the status bar when markers.ini cannot be taken: followed by the file, the line and
// the reason; then MarkersBuiltInHold. The built-in markers cut the pages.
inline constexpr std::string_view InvalidMarkersFile = "标记文件无法使用：";
inline constexpr std::string_view MarkersLine = " 第 ";
inline constexpr std::string_view MarkersLineEnd = " 行";
inline constexpr std::string_view MarkersBuiltInHold = "；仍使用内置标记";

// Shown in the status bar when config.ini's Keep_Pages=1 asks to keep pages and the store cannot:
// followed by the reason. The walk goes on without keeping pages.
inline constexpr std::string_view KeepPagesFailed = "无法保存页面，本次不保存：";

// The results store: when it cannot be opened (followed by the file and the reason, then the
// question), when it cannot write (followed by the file and the reason) and when it can again.
inline constexpr std::string_view StoreOpenCaption = "结果库";
inline constexpr std::string_view StoreOpenFailed = "结果库无法打开：";
inline constexpr std::string_view StoreOpenQuestion =
    "选“是”在不保存结果的情况下运行（采集到的店铺只在列表中，程序结束后不再保留）；"
    "选“否”退出程序。";
inline constexpr std::string_view StoreWriteFailed = "结果库写入失败，结果暂存在内存中：";
inline constexpr std::string_view StoreWritesAgain = "结果库已恢复写入。";
// In the status bar's last pane while the store cannot write: the rows held in memory between
// prefix and suffix.
inline constexpr std::string_view StoreTroublePrefix = "结果库写入失败：";
inline constexpr std::string_view StoreTroubleSuffix = " 条未保存";
// Asked before the closing question when rows could not be written: the number of rows, then the
// reason, then the question (是: the export comes first).
inline constexpr std::string_view UnwrittenRowsPrefix = "有 ";
inline constexpr std::string_view UnwrittenRowsReason = " 条结果未能写入结果库（";
inline constexpr std::string_view UnwrittenRowsQuestion = "）。是否先导出？";
// The reason given when writing works but has not finished in time.
inline constexpr std::string_view StoreWriteUnfinished = "写入未能及时完成";
// Shown when an interrupted run was put back: the number of shops between prefix and suffix.
inline constexpr std::string_view RecoveredRunPrefix = "已恢复上次中断的采集：";
inline constexpr std::string_view RecoveredRunSuffix = " 个店铺";

inline constexpr std::string_view ExportDoneMessage = "导出完成!";
// Shown when an export cannot be written: followed by the file and the reason.
inline constexpr std::string_view ExportFailedMessage = "导出失败：";
// The export's file name got the chosen type's ending and a file of that name exists: the file,
// then the question.
inline constexpr std::string_view ExportReplaceQuestion = " 已存在。\r\n要替换它吗？";

// The fatal usage error box: its caption, and the text around the error's message.
inline constexpr std::string_view FatalErrorCaption = "错误";
inline constexpr std::string_view FatalErrorLead = "运行时出错!\r\n\r\n错误信息：";
inline constexpr std::string_view FatalErrorTail = "\r\n";

}  // namespace shopwalk
