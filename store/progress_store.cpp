#include "store/progress_store.h"

#include "collect/controls.h"
#include "collect/gbk.h"
#include "store/config_file.h"
#include "store/run_directory.h"
#include "workers/locks.h"

namespace shopwalk {

void OnCollectorCreated(CollectorUi& ui) {
  OnCollectorCreated(ui, RunDirectory());
}

void OnCollectorCreated(CollectorUi& ui, std::string_view directory) {
  ui.SetTextColor(ctl::SettingsGroup, SettingsGroupColor);
  std::string path = PathInDirectory(directory, ConfigFileName);
  ui.SetText(ctl::ShopIdEdit, ReadConfigItem(path, ProgressSection, ProgressKey));
  // The field decides what it keeps of the text, so the fallback looks at the field.
  if (ui.Text(ctl::ShopIdEdit).empty()) ui.SetText(ctl::ShopIdEdit, DefaultStartShopId);
}

bool AskToSaveProgress(CollectorUi& ui) {
  return ui.ShowMessage(Utf8ToGbk(SaveProgressQuestion), SaveProgressQuestionFlags,
                        Utf8ToGbk(SaveProgressCaption)) == mb::PressedYes;
}

bool SaveProgress(CollectorUi& ui, std::string_view shopId) {
  return SaveProgress(ui, shopId, RunDirectory());
}

bool SaveProgress(CollectorUi& ui, std::string_view shopId, std::string_view directory) {
  std::string path = PathInDirectory(directory, ConfigFileName);
  std::string reason;
  if (WriteConfigItem(path, ProgressSection, ProgressKey, shopId, &reason)) return true;
  ui.ShowMessage(Utf8ToGbk(std::string(SaveProgressFailed) + path + "\r\n" + reason),
                 mb::Ok | mb::IconError, Utf8ToGbk(SaveProgressCaption));
  return false;
}

void OnCollectorDestroyed(CollectorUi& ui, Collector& collector) {
  OnCollectorDestroyed(ui, collector, RunDirectory());
}

void OnCollectorDestroyed(CollectorUi& ui, Collector& collector, std::string_view directory) {
  RunState& run = collector.Run();
  DeleteLock(run.ResultLock.load());
  run.WorkerPool.Stop();
  // The run goes on while the question is open; the place is taken when the user answers.
  if (AskToSaveProgress(ui)) SaveProgress(ui, collector.ProgressText(), directory);
}

}  // namespace shopwalk
