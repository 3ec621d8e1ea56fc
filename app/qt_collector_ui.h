// The collector window as the engine and the handlers see it: every operation may be called from
// any thread and is carried out on the UI thread, in call order. Operations that return a value
// wait until the UI thread has run them; those that return nothing (the writes: field texts, run
// controls, progress, rows, notes, the caption colour, the dialog's directory) are queued with
// copies of their arguments and return at once. Both go through one queue, so a thread's read
// sees the thread's earlier writes, and the engine sees no difference from waiting writes. Once
// the window is being torn down (the bridge is closed) every operation returns at once with the
// default result (empty text, false, 0), queued writes are dropped, and no widget is touched.
//
// The shop-ID field is read many times a second by the dispatcher; its text is kept in a copy that
// any thread reads without a hop: what the engine last wrote into it (from the moment of the
// write) or what the user last typed or the field made of it. A read thus still sees the reading
// thread's earlier writes and the user's typing, as a read through the queue would.
//
// Keep it alive until every thread that may call it has ended.
#pragma once

#include <mutex>
#include <string>

#include "app/widget_ui.h"
#include "app/window_ui.h"

namespace shopwalk {

class CollectorWindow;
class DialogHost;
class UiBridge;

class QtCollectorUi : public WindowUi {
 public:
  QtCollectorUi(CollectorWindow& window, DialogHost& dialogs, UiBridge& bridge);

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
  void RestoreRows(const std::vector<ShopRecord>& records) override;

 private:
  WidgetUi direct_;
  UiBridge& bridge_;
  // The shop-ID field's text for readers on any thread (see above).
  mutable std::mutex shopIdMutex_;
  std::string shopId_;
  // Set on the UI thread while an engine write is carried out, so that the field's change
  // signal does not take an older engine text back into the copy.
  bool applyingShopId_ = false;
};

}  // namespace shopwalk
