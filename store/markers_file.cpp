#include "store/markers_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "store/run_directory.h"

namespace shopwalk {

MarkersFile LoadMarkersFile(std::string_view directory) {
  MarkersFile file;
  file.path = PathInDirectory(directory, MarkersFileName);
  errno = 0;
  std::ifstream in(file.path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return file;
    file.found = true;
    file.problem = MarkersProblem{0, std::string("cannot be read: ") + std::strerror(errno)};
    return file;
  }
  file.found = true;
  std::string text(MaxMarkersFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    file.problem = MarkersProblem{0, "cannot be read"};
    return file;
  }
  text.resize(static_cast<std::size_t>(in.gcount()));
  Expected<MarkersInForce, MarkersProblem> parsed = ParseMarkersIni(text);
  if (!parsed) {
    file.problem = std::move(parsed).error();
    return file;
  }
  file.inForce = std::move(parsed).value();
  return file;
}

}  // namespace shopwalk
