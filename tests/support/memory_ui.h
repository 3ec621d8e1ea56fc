// An in-memory collector window for tests and benchmarks, so the engine and the window's handlers
// run headless. It keeps what the window would show: the two fields, whether the run controls
// are frozen, the rows (numbered like the real list), the shops reported as being collected, the
// notes, the store's trouble, the messages shown. Message boxes and the save dialog are answered by
// callbacks the owner installs. Safe to use from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/window_ui.h"

namespace shopwalk::test {

class MemoryUi : public WindowUi {
 public:
  struct Message {
    std::string text;  // UTF-8
    int flags = 0;
    std::string caption;  // UTF-8; "信息：" when none was given
  };

  MemoryUi();

  std::string ShopIdText() override;
  void SetShopIdText(std::string_view text) override;
  std::string ThreadCountText() override;
  void SetThreadCountText(std::string_view text) override;
  void FreezeRunControls() override;
  void ShowCollecting(std::string_view shopUrl) override;
  void AddRow(const ShopRecord& record) override;
  void ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) override;
  void ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) override;

  int ShowMessage(std::string_view text, int flags,
                  std::optional<std::string_view> caption = std::nullopt) override;
  void SetInitialDirectory(std::string_view directory) override;
  bool ShowFileDialog() override;
  std::string FileName() override;
  std::string ChosenFileEnding() override;
  bool MessengerOnlyChecked() override;
  void SetSettingsGroupColor(std::uint32_t bgr) override;
  void ShowNote(std::string_view text) override;
  void ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) override;
  void ReadRows(const std::function<void(const ResultRows&)>& reader) override;

  // Owner's side.
  // Answers message boxes (default: OK, or Yes for a Yes/No box).
  void SetMessageAnswer(std::function<int(const Message&)> answer);
  // Answers the save dialog: given the initial directory and the proposed file name, returns the
  // chosen path, or "" to cancel (default: cancel).
  void SetFileDialogAnswer(
      std::function<std::string(const std::string& initialDirectory, const std::string& proposed)>
          answer);
  // The file type the save dialog answers with, as its ending (default: none, "").
  void SetChosenFileEnding(std::string ending);
  void SetMessengerOnly(bool checked);
  // Appends a row as given, all six cells (for export tests).
  void PutRow(const ResultRow& row);

  bool Frozen();
  std::uint32_t SettingsGroupColor();
  // The shop last reported as being collected ("" before any).
  std::string Collecting();
  // Shop URLs reported as being collected, in order.
  std::vector<std::string> CollectingHistory();
  std::vector<std::string> Notes();
  struct Pause {
    PauseReason reason;
    std::chrono::seconds nextTry;
    bool probeOut = false;
  };
  // Every pause reported, in order.
  std::vector<Pause> Pauses();
  // What the window's progress pane was told, in order: a shop being collected, a row added (the
  // shop shown as collected), a pause.
  struct ProgressEvent {
    enum class Kind { Collecting, Collected, Paused };
    Kind kind;
    std::string shopUrl;  // Collecting, Collected
    Pause pause{};        // Paused
  };
  std::vector<ProgressEvent> ProgressHistory();
  // The retry counts last reported (0, 0 before any).
  std::pair<std::size_t, std::size_t> RetryCounts();
  // The count of shops the run marked to revisit, as last shown.
  std::size_t ToRevisitCount();
  // The store's trouble as reported, in order (nothing: over).
  std::vector<std::optional<std::uint64_t>> StoreTroubles();
  std::vector<Message> Messages();
  std::vector<ResultRow> Rows();
  std::string InitialDirectory();

 private:
  std::recursive_mutex mutex_;
  std::string shopId_;
  std::string threadCount_;
  bool frozen_ = false;
  bool messengerOnly_ = true;
  std::uint32_t groupColor_ = 0x0000FF;
  std::vector<std::string> collecting_;
  std::vector<std::string> notes_;
  std::vector<Pause> pauses_;
  std::vector<ProgressEvent> progress_;
  std::pair<std::size_t, std::size_t> retryCounts_{0, 0};
  std::size_t toRevisit_ = 0;
  std::vector<std::optional<std::uint64_t>> storeTroubles_;
  std::vector<ResultRow> rows_;
  std::vector<Message> messages_;
  std::function<int(const Message&)> messageAnswer_;
  std::function<std::string(const std::string&, const std::string&)> fileDialogAnswer_;
  std::string initialDirectory_;
  std::string fileName_;
  std::string chosenEnding_;
};

}  // namespace shopwalk::test
