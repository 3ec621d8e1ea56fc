// What a message box shows for a set of message-box flags: its buttons (low four bits), its icon
// (0x10 error, 0x20 question, 0x30 warning, 0x40 information), its default button (0x100 the
// second, 0x200 the third) and the answer given when it is closed without pressing a button.
// Buttons are named by the codes they return (mb::Pressed*).
#pragma once

#include <QString>
#include <vector>

namespace shopwalk {

enum class MessageIcon { None, Error, Question, Warning, Information };

struct MessageBoxLayout {
  std::vector<int> buttons;  // in display order
  int defaultButton = 0;
  int escapeButton = 0;  // the answer when the box is closed with Esc or its close button
  MessageIcon icon = MessageIcon::None;
};

// Unknown button sets give a single OK button, unknown icons no icon, and a default button past
// the last one the first button.
MessageBoxLayout LayoutMessageBox(int flags);

// The Chinese caption of a button ("确定", "取消", "中止", "重试", "忽略", "是", "否").
QString ButtonCaption(int pressedCode);

}  // namespace shopwalk
