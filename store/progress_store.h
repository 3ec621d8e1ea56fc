// Where the walk over shop IDs resumes: the shop ID saved in the settings file beside the
// executable, loaded into the shop-ID field when the window is created and saved when it closes
// and the user agrees.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "collect/collector.h"
#include "collect/collector_ui.h"

namespace shopwalk {

// The settings file's section and key that hold the saved shop ID.
inline constexpr std::string_view ProgressSection = "Mivu";
inline constexpr std::string_view ProgressKey = "Now_ID";
// The shop ID the walk starts from when nothing is saved.
inline constexpr std::string_view DefaultStartShopId = "109428412";
// The settings group box's caption colour, 0x00BBGGRR: pure red.
inline constexpr std::uint32_t SettingsGroupColor = 0x0000FF;

// The question asked when the window closes (UTF-8; show it as GBK), its caption and flags.
inline constexpr std::string_view SaveProgressQuestion = "是否保存当前进度？";
inline constexpr std::string_view SaveProgressCaption = "提示";
inline constexpr int SaveProgressQuestionFlags = mb::YesNo;
// Start of the message shown when saving fails (UTF-8), followed by the file and the reason.
inline constexpr std::string_view SaveProgressFailed = "进度保存失败：";

// The collector window's created event: colours the settings group red and loads the saved
// shop ID into the shop-ID field, or DefaultStartShopId when the field would stay empty. The
// settings file is ConfigPath() (or "config.ini" in `directory`); it is only read.
void OnCollectorCreated(CollectorUi& ui);
void OnCollectorCreated(CollectorUi& ui, std::string_view directory);

// Asks SaveProgressQuestion with its caption and flags; true when the user answered Yes.
bool AskToSaveProgress(CollectorUi& ui);

// Saves `shopId` (GBK text, stored unchanged, may be empty) as the progress in the settings
// file ConfigPath() (or "config.ini" in `directory`), leaving the rest of the file as it was.
// When that fails the user is told, with the file and the reason, in an error box; returns
// whether the file holds the new value.
bool SaveProgress(CollectorUi& ui, std::string_view shopId);
bool SaveProgress(CollectorUi& ui, std::string_view shopId, std::string_view directory);

// The collector window's being-destroyed event: discards the run's result lock, stops its pool
// without waiting, asks whether to save the progress and, on Yes, saves the walk's place
// (Collector::ProgressText: the shop-ID field's text, or one less than the lowest shop the run
// moved past without finishing) to ConfigPath() (or "config.ini" in `directory`).
void OnCollectorDestroyed(CollectorUi& ui, Collector& collector);
void OnCollectorDestroyed(CollectorUi& ui, Collector& collector, std::string_view directory);

}  // namespace shopwalk
