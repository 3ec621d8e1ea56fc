// What the window's own handlers (created, closing, export) need of the collector window beyond
// what the engine uses: the message box, the save dialog, the export check box, the settings
// group's caption colour, a note in the status bar and reading the result list.
//
// It names things by what they mean, like CollectorUi, and holds no toolkit types, so the
// handlers run against a double in tests. The same threading promise as CollectorUi holds.
// Message texts, captions and notes are UTF-8 (the window's own words, file paths among them);
// file paths are native paths.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collect/collector_ui.h"
#include "collect/shop_record.h"

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

class WindowUi : public CollectorUi {
 public:
  // Modal message box; returns the mb::Pressed* code. No caption means the default "信息：".
  virtual int ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption = std::nullopt) = 0;

  // The save dialog: the initial directory is used by the next ShowFileDialog, which returns
  // whether a file was confirmed; FileName is then its full path (kept and proposed by the next
  // dialog).
  virtual void SetInitialDirectory(std::string_view directory) = 0;
  virtual bool ShowFileDialog() = 0;
  virtual std::string FileName() = 0;
  // The file-name ending of the file type selected in the last confirmed save dialog (".xlsx"
  // for the workbooks' type); "" when none was.
  virtual std::string ChosenFileEnding() = 0;

  // Whether the export takes only the messenger names.
  virtual bool MessengerOnlyChecked() = 0;

  // The settings group's caption colour, 0x00BBGGRR.
  virtual void SetSettingsGroupColor(std::uint32_t bgr) = 0;

  // Shows a note about the program's state where the engine's progress is shown (the status
  // bar's middle pane); the next progress report replaces it.
  virtual void ShowNote(std::string_view text) = 0;

  // The results store cannot write and holds `unwrittenRows` rows in memory; nothing: it writes
  // again. Shown where the shops in trouble are (the status bar's last pane), in their place, for
  // as long as it lasts: progress reports do not replace it.
  virtual void ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) = 0;

  // Puts the rows of an interrupted run back into the list, in order and numbered as AddRow
  // numbers them, without a status text per row. (A window may do it faster than row by row.)
  virtual void RestoreRows(const std::vector<ShopRecord>& records) {
    for (const ShopRecord& record : records) AddRow(record);
  }

  // Runs `reader` on the result list as one operation of the window: rows appended meanwhile
  // wait until it returns, so it sees no row half written.
  virtual void ReadRows(const std::function<void(const ResultRows&)>& reader) = 0;
};

}  // namespace shopwalk
