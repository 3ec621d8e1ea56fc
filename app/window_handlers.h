// The collector window's own handlers: its created and closing events and the Export button.
// They read and write the settings file and the export through the store and decide what the
// user is shown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/window_ui.h"
#include "collect/collector.h"

namespace shopwalk {

// The settings group's caption colour, 0x00BBGGRR: pure red.
inline constexpr std::uint32_t SettingsGroupColor = 0x0000FF;

// The created event: colours the settings group red and loads the saved place from config.ini in
// `directory` into the shop-ID field, or the default start ID when the field would stay empty. A
// saved place that is no 32-bit number (negative ones are places the window walks from) stays in
// the field as loaded, and a note says so. With a
// collector, the run settings of the file (the tries of a shop) go to it; a value that is no
// number from 1 to 1000 is named in the note and the default holds. The markers of markers.ini
// in `directory` go to it too; a file that cannot be taken is named in the note (its line and
// why) and the built-in markers cut the pages.
void OnCollectorCreated(WindowUi& ui, std::string_view directory);
void OnCollectorCreated(WindowUi& ui, Collector& collector, std::string_view directory);

// The being-destroyed event: lets the run wind down (the result lock deleted, the pool stopped
// without waiting), asks whether to save the place and, on Yes, saves the walk's place
// (Collector::ProgressText) to config.ini in `directory`. A failed save is shown with the file,
// the reason and the place that could not be saved, so the user can note it. True when the place
// was saved.
bool OnCollectorDestroyed(WindowUi& ui, Collector& collector, std::string_view directory);

// Asks whether to save the place; true when the user answered Yes.
bool AskToSaveProgress(WindowUi& ui);

// Saves `shopId` as the place in config.ini in `directory`; a failure is shown as above.
bool SaveProgressShowingFailure(WindowUi& ui, std::string_view shopId, std::string_view directory);

// Before the closing question, when `rows` rows could not be written to the results store: says
// so with the `reason` and asks whether to export first; on Yes the export runs as from the
// Export button (OnExportClicked in `exportDirectory`). True when the user chose the export.
bool OfferExportOfUnwrittenRows(WindowUi& ui, std::uint64_t rows, std::string_view reason,
                                std::string_view exportDirectory);

// The Export button: opens the save dialog in `initialDirectory`; a cancelled dialog ends the
// export silently. The form follows the chosen name's ending (FormatForFileName) and, for text,
// the check box. A name without one of the export's endings (HasExportEnding) gets the ending of
// the file type selected in the dialog, and so its form; when a file of that name exists, the
// user is asked whether to replace it (No ends the export).
// With no rows the file is not touched. Then "导出完成!" is shown, or an error box naming the
// file and the reason when it could not be written (the file is then left as it was).
void OnExportClicked(WindowUi& ui, std::string_view initialDirectory);

// Before the window opens: when SHOPWALK_CONNECT_TO is set to `connectTo`, something that is no
// HOST:PORT (net/web_access.h), says so in an error box naming the value and returns true (the
// program then ends); false, showing nothing, when it is empty or an address.
bool RefuseBadConnectTo(WindowUi& ui, std::string_view connectTo);

// Before the window is made: takes the proxy and the agent text of every request from config.ini
// in `settingsDirectory` (Proxy, User_Agent), else the standard proxy variables and the built-in
// text, as shopwalk-cli does without its options, and sets them for the process. Why not (naming
// where the setting came from, never a password), setting nothing, when one cannot be taken.
std::optional<std::string> TakeWebSettings(std::string_view settingsDirectory);

// Before the window opens: when TakeWebSettings `refused`, says why in an error box and returns
// true (the program then ends); false, showing nothing, otherwise.
bool RefuseBadWebSettings(WindowUi& ui, const std::optional<std::string>& refused);

}  // namespace shopwalk
