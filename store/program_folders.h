// Where the programs keep their files: the settings file config.ini and the results store
// shopwalk.db. Both stay beside the executable where that works (the portable way, and how the
// program always kept its place); an installed program run by a user who may not write there
// keeps them in the user's folders instead (XDG base directories).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

inline constexpr std::string_view StoreFileName = "shopwalk.db";

// The environment as the folder rules read it (a variable's value, or nothing).
using Environment = std::function<std::optional<std::string>(const char* name)>;
// The process's own environment.
Environment ProcessEnvironment();

// The folder the installed programs live in (for a `cmake --install` or a package: /usr/bin).
// The programs never write there, even as root: it is the system's, not a portable copy's.
std::string InstalledProgramDirectory();

// The folder of config.ini: `runDirectory` when config.ini there exists and may be written, or
// when the folder may be written, unless it is the installed programs' folder; otherwise
// $XDG_CONFIG_HOME/shopwalk (default $HOME/.config/shopwalk), created when missing. Without HOME
// the user's folders go into the temporary folder ($TMPDIR, else /tmp: $TMPDIR/.config/shopwalk
// here); as everyone may write there, such a folder is used only when every folder on the way
// below the temporary folder is the user's own (no symbolic link, writable by no one else),
// otherwise a fresh private folder made there for this run ("shopwalk-XXXXXX").
std::string SettingsDirectory(std::string_view runDirectory, const Environment& environment);
// The folder of the results store: `runDirectory` when it may be written (and is not the
// installed programs' folder); otherwise $XDG_DATA_HOME/shopwalk (default
// $HOME/.local/share/shopwalk, without HOME as above), created when missing. SQLite needs a
// writable folder for its journal, so this holds even when config.ini beside the executable is
// written in place.
std::string DataDirectory(std::string_view runDirectory, const Environment& environment);

// The folder the export's save dialog opens in: `runDirectory` when it may be written (and is not
// the installed programs' folder), else the user's home folder.
std::string ExportDirectory(std::string_view runDirectory, const Environment& environment);

// The same for the running program (RunDirectory() and the process's environment).
std::string SettingsDirectory();
std::string DataDirectory();
std::string ExportDirectory();

// The folder whose config.ini is read: the settings folder, or, when that is not the
// executable's and holds no config.ini yet, the executable's (a config.ini shipped beside the
// program is still read, while saving goes to the user's folder).
std::string SettingsDirectoryToRead(std::string_view runDirectory,
                                    std::string_view settingsDirectory);

}  // namespace shopwalk
