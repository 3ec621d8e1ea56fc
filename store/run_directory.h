// Where the program keeps its files: the directory that holds the executable.
#pragma once

#include <string>
#include <string_view>

namespace shopwalk {

// Full path of the directory holding the running executable, without a trailing slash (except
// for the root directory itself). Falls back to the working directory when the executable's
// path cannot be found.
std::string RunDirectory();

// `directory` + "/" + `name`, without doubling a slash the directory already ends with.
std::string PathInDirectory(std::string_view directory, std::string_view name);

// The progress settings file: "config.ini" in RunDirectory().
inline constexpr std::string_view ConfigFileName = "config.ini";
std::string ConfigPath();

}  // namespace shopwalk
