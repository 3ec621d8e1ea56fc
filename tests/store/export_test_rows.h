// Helpers shared by the export tests: rows held in memory, and running a reader script over an
// exported file.
#pragma once

#include <string>
#include <vector>

#include "collect/shop_record.h"

namespace shopwalk::test {

// Rows held in memory; counts how often the row count is asked for.
class TestRows : public ResultRows {
 public:
  int RowCount() const override;
  std::string CellText(int row, int column) const override;

  std::vector<ResultRow> rows;
  mutable int rowCountCalls = 0;
};

// The lines a reader script printed for a file; `ok` when it exited with status 0.
struct ScriptOutput {
  bool ok = false;
  std::vector<std::string> lines;
};

// Runs `python3 <script> '<file>' <arguments>` and collects what it printed.
ScriptOutput RunReader(const std::string& script, const std::string& file,
                       const std::string& arguments = "");

}  // namespace shopwalk::test
