// What the collection engine and the window's handlers need of the collector window: control
// properties by identifier, the result list, the status bar, the message box and the save dialog.
//
// The Qt window implements it for real; MemoryUi implements it in memory so the engine runs
// headless. Every operation may be called from any thread; each is atomic with respect to the
// window, and the operations of one thread take effect in their order. Once the window is being
// torn down, operations return at once with the default result (empty text, false, -1, 0).
//
// Texts (field texts, cell texts, pane texts, message texts and captions) are GBK bytes, the
// code page of the engine's texts. File paths are native paths (UTF-8 on this platform).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

// Message box flags and the codes of the pressed buttons.
namespace mb {
inline constexpr int Ok = 0;
inline constexpr int OkCancel = 1;
inline constexpr int AbortRetryIgnore = 2;
inline constexpr int YesNoCancel = 3;
inline constexpr int YesNo = 4;
inline constexpr int RetryCancel = 5;
inline constexpr int IconError = 0x10;
inline constexpr int IconQuestion = 0x20;
inline constexpr int IconWarning = 0x30;
inline constexpr int IconInformation = 0x40;
inline constexpr int SystemModal = 0x1000;
inline constexpr int TaskModal = 0x2000;

inline constexpr int PressedOk = 0;
inline constexpr int PressedCancel = 1;
inline constexpr int PressedAbort = 2;
inline constexpr int PressedRetry = 3;
inline constexpr int PressedIgnore = 4;
inline constexpr int PressedYes = 5;
inline constexpr int PressedNo = 6;
}  // namespace mb

class CollectorUi {
 public:
  virtual ~CollectorUi() = default;

  // Control properties. `control` is an identifier from controls.h.
  virtual std::string Text(std::string_view control) = 0;
  virtual void SetText(std::string_view control, std::string_view text) = 0;
  virtual void SetDisabled(std::string_view control, bool disabled) = 0;
  virtual void SetVisible(std::string_view control, bool visible) = 0;
  // Colour as 0x00BBGGRR.
  virtual void SetTextColor(std::string_view control, std::uint32_t bgr) = 0;
  virtual bool Checked(std::string_view control) = 0;

  // Result list. Rows and columns are 0-based.
  // Inserts before `position` (negative or absent: appends); returns the new row or -1.
  virtual int InsertRow(int position = -1, std::string_view text = {}) = 0;
  virtual bool SetCellText(int row, int column, std::string_view text) = 0;
  virtual std::string GetCellText(int row, int column) = 0;
  virtual int RowCount() = 0;
  virtual std::string ColumnCaption(int column) = 0;

  // Status bar: a pane outside 0..2 is ignored.
  virtual void SetPaneText(int pane, std::string_view text) = 0;

  // Modal message box; returns the mb::Pressed* code. No caption means "信息：".
  virtual int ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption = std::nullopt) = 0;

  // The save dialog: InitialDirectory is used by the next ShowFileDialog; ShowFileDialog returns
  // whether a file was confirmed, after which FileName is its full path (kept for the next
  // dialog, which proposes it).
  virtual void SetInitialDirectory(std::string_view directory) = 0;
  virtual bool ShowFileDialog() = 0;
  virtual std::string FileName() = 0;

  // Runs `operations` as one operation of the window: no operation of another thread takes
  // effect in between (the engine appends a row and fills its cells this way, so nobody ever
  // sees a half-written row). Inside, use the interface passed in.
  virtual void RunAtomically(const std::function<void(CollectorUi&)>& operations) = 0;
};

}  // namespace shopwalk
