#include "app/window_handlers.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "app/window_texts.h"
#include "base/terminal_text.h"
#include "collect/gbk.h"
#include "net/web_access.h"
#include "store/export_rows.h"
#include "store/markers_file.h"
#include "store/progress_store.h"
#include "store/run_settings.h"

namespace shopwalk {

namespace {

// Whether the window's walk can start after `text`: a decimal number of 32 bits, negative ones
// included (as the shop-ID field takes them), without blanks or a plus sign.
bool IsWindowPlaceText(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= (negative ? std::int64_t{2147483648} : std::int64_t{2147483647});
}

// Loads the saved place into the field; returns the note about it ("" when all is well).
std::string LoadPlace(WindowUi& ui, std::string_view directory) {
  ui.SetShopIdText(LoadProgress(directory));
  // The field decides what it keeps of the text, so the fallback looks at the field.
  const std::string loaded = ui.ShopIdText();
  if (loaded.empty()) {
    ui.SetShopIdText(DefaultStartShopId);
  } else if (!IsWindowPlaceText(loaded)) {
    return std::string(InvalidSavedPlace) + GbkToUtf8(loaded);
  }
  return {};
}

}  // namespace

void OnCollectorCreated(WindowUi& ui, std::string_view directory) {
  ui.SetSettingsGroupColor(SettingsGroupColor);
  if (const std::string note = LoadPlace(ui, directory); !note.empty()) ui.ShowNote(note);
}

void OnCollectorCreated(WindowUi& ui, Collector& collector, std::string_view directory) {
  ui.SetSettingsGroupColor(SettingsGroupColor);
  std::string note = LoadPlace(ui, directory);
  const RunSettings settings = LoadRunSettings(directory);
  collector.SetPageMatchLimits(GuardLimits(settings));
  if (settings.maxAttempts) {
    RetryPolicy policy = collector.Policy();
    policy.maxAttempts = *settings.maxAttempts;
    collector.SetRetryPolicy(policy);
  } else if (!settings.invalidMaxAttempts.empty()) {
    if (!note.empty()) note += "；";
    note += std::string(InvalidMaxAttempts) + GbkToUtf8(settings.invalidMaxAttempts);
  }
  const MarkersFile markers = LoadMarkersFile(directory);
  if (markers.problem) {
    if (!note.empty()) note += "；";
    note += std::string(InvalidMarkersFile) + markers.path;
    if (markers.problem->line > 0) {
      note += std::string(MarkersLine) + std::to_string(markers.problem->line) +
              std::string(MarkersLineEnd);
    }
    note += "：" + markers.problem->reason + std::string(MarkersBuiltInHold);
  }
  collector.SetMarkers(markers.inForce.markers);
  if (!note.empty()) ui.ShowNote(note);
}

bool AskToSaveProgress(WindowUi& ui) {
  return ui.ShowMessage(SaveProgressQuestion, mb::YesNo, SaveProgressCaption) == mb::PressedYes;
}

bool SaveProgressShowingFailure(WindowUi& ui, std::string_view shopId, std::string_view directory) {
  const WriteResult saved = SaveProgress(shopId, directory);
  if (saved) return true;
  ui.ShowMessage(std::string(SaveProgressFailed) + saved.path + "\r\n" + saved.reason + "\r\n" +
                     std::string(UnsavedPlace) + GbkToUtf8(shopId),
                 mb::Ok | mb::IconError, SaveProgressCaption);
  return false;
}

bool OfferExportOfUnwrittenRows(WindowUi& ui, std::uint64_t rows, std::string_view reason,
                                std::string_view exportDirectory) {
  const std::string text = std::string(UnwrittenRowsPrefix) + std::to_string(rows) +
                           std::string(UnwrittenRowsReason) + std::string(reason) +
                           std::string(UnwrittenRowsQuestion);
  if (ui.ShowMessage(text, mb::YesNo | mb::IconWarning, StoreOpenCaption) != mb::PressedYes) {
    return false;
  }
  OnExportClicked(ui, exportDirectory);
  return true;
}

bool OnCollectorDestroyed(WindowUi& ui, Collector& collector, std::string_view directory) {
  collector.OnWindowClosing();
  // The run goes on while the question is open; the place is taken when the user answers.
  if (!AskToSaveProgress(ui)) return false;
  return SaveProgressShowingFailure(ui, collector.ProgressText(), directory);
}

void OnExportClicked(WindowUi& ui, std::string_view initialDirectory) {
  ui.SetInitialDirectory(initialDirectory);
  if (!ui.ShowFileDialog()) return;
  std::string path = ui.FileName();
  if (const std::string ending = ui.ChosenFileEnding(); !ending.empty() && !HasExportEnding(path)) {
    path += ending;
    // The dialog asked about replacing the name as typed, not this one.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 &&
        ui.ShowMessage(path + std::string(ExportReplaceQuestion), mb::YesNo | mb::IconWarning) !=
            mb::PressedYes) {
      return;
    }
  }
  ExportOptions options;
  options.format = FormatForFileName(path);
  options.messengerOnly = ui.MessengerOnlyChecked();
  options.encoding = ExportEncoding::Gbk;
  WriteResult written;
  // Rows appended meanwhile wait; they are not part of this export.
  ui.ReadRows([&](const ResultRows& rows) { written = ExportRows(rows, path, options); });
  if (!written) {
    ui.ShowMessage(std::string(ExportFailedMessage) + written.path + "\r\n" + written.reason,
                   mb::Ok | mb::IconError);
    return;
  }
  ui.ShowMessage(ExportDoneMessage, mb::Ok);
}

std::optional<std::string> TakeWebSettings(std::string_view settingsDirectory) {
  const RunSettings settings = LoadRunSettings(settingsDirectory);
  const Expected<ProxySetting, SettingRefused> proxy =
      ChooseProxy(std::nullopt, settings, ProcessEnvironmentValue);
  const Expected<std::string, SettingRefused> agent = ChooseUserAgent(std::nullopt, settings);
  if (!proxy) return proxy.error().reason;
  if (!agent) return agent.error().reason;
  SetProxy(*proxy);
  SetUserAgent(*agent);
  return std::nullopt;
}

bool RefuseBadWebSettings(WindowUi& ui, const std::optional<std::string>& refused) {
  if (!refused) return false;
  ui.ShowMessage(std::string(BadWebSetting) + TerminalSafe(*refused), mb::Ok | mb::IconError,
                 FatalErrorCaption);
  return true;
}

bool RefuseBadConnectTo(WindowUi& ui, std::string_view connectTo) {
  if (connectTo.empty() || IsConnectToAddress(connectTo)) return false;
  ui.ShowMessage(std::string(BadConnectTo) + TerminalSafe(connectTo), mb::Ok | mb::IconError,
                 FatalErrorCaption);
  return true;
}

}  // namespace shopwalk
