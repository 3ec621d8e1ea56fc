#include "app/message_box_layout.h"

#include <algorithm>

#include "app/window_ui.h"

namespace shopwalk {

MessageBoxLayout LayoutMessageBox(int flags) {
  MessageBoxLayout layout;
  switch (flags & 0xF) {
    case mb::OkCancel:
      layout.buttons = {mb::PressedOk, mb::PressedCancel};
      break;
    case mb::AbortRetryIgnore:
      layout.buttons = {mb::PressedAbort, mb::PressedRetry, mb::PressedIgnore};
      break;
    case mb::YesNoCancel:
      layout.buttons = {mb::PressedYes, mb::PressedNo, mb::PressedCancel};
      break;
    case mb::YesNo:
      layout.buttons = {mb::PressedYes, mb::PressedNo};
      break;
    case mb::RetryCancel:
      layout.buttons = {mb::PressedRetry, mb::PressedCancel};
      break;
    default:
      layout.buttons = {mb::PressedOk};
      break;
  }

  const std::size_t defaultIndex = static_cast<std::size_t>((flags >> 8) & 0xF);
  layout.defaultButton =
      defaultIndex < layout.buttons.size() ? layout.buttons[defaultIndex] : layout.buttons[0];

  auto has = [&](int code) {
    return std::find(layout.buttons.begin(), layout.buttons.end(), code) != layout.buttons.end();
  };
  if (has(mb::PressedCancel)) {
    layout.escapeButton = mb::PressedCancel;
  } else if (has(mb::PressedNo)) {
    layout.escapeButton = mb::PressedNo;
  } else if (has(mb::PressedAbort)) {
    layout.escapeButton = mb::PressedAbort;
  } else {
    layout.escapeButton = mb::PressedOk;
  }

  switch (flags & 0xF0) {
    case mb::IconError:
      layout.icon = MessageIcon::Error;
      break;
    case mb::IconQuestion:
      layout.icon = MessageIcon::Question;
      break;
    case mb::IconWarning:
      layout.icon = MessageIcon::Warning;
      break;
    case mb::IconInformation:
      layout.icon = MessageIcon::Information;
      break;
    default:
      layout.icon = MessageIcon::None;
      break;
  }
  return layout;
}

QString ButtonCaption(int pressedCode) {
  switch (pressedCode) {
    case mb::PressedOk:
      return QStringLiteral("确定");
    case mb::PressedCancel:
      return QStringLiteral("取消");
    case mb::PressedAbort:
      return QStringLiteral("中止");
    case mb::PressedRetry:
      return QStringLiteral("重试");
    case mb::PressedIgnore:
      return QStringLiteral("忽略");
    case mb::PressedYes:
      return QStringLiteral("是");
    case mb::PressedNo:
      return QStringLiteral("否");
    default:
      return QString();
  }
}

}  // namespace shopwalk
