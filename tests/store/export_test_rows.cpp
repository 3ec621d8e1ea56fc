#include "tests/store/export_test_rows.h"

#include <sys/wait.h>

#include <cstdio>

namespace shopwalk::test {

int TestRows::RowCount() const {
  ++rowCountCalls;
  return static_cast<int>(rows.size());
}

std::string TestRows::CellText(int row, int column) const {
  if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 ||
      column >= ResultColumnCount) {
    return {};
  }
  return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

ScriptOutput RunReader(const std::string& script, const std::string& file,
                       const std::string& arguments) {
  ScriptOutput output;
  const std::string command = "python3 '" + script + "' '" + file + "' " + arguments;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  std::string text;
  char buffer[4096];
  while (std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, count);
  const int status = ::pclose(pipe);
  output.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    output.lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return output;
}

}  // namespace shopwalk::test
