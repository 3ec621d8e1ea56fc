// The rows of a walk written to a file as they come (`shopwalk-cli walk --out FILE`), in the form
// the file name asks for: text (all six columns), CSV, JSON Lines as each row arrives; an Excel
// workbook, which can only be written whole, at the end. Rows are numbered 1.. in the order they
// came. Safe from any thread.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "collect/shop_record.h"
#include "store/export_rows.h"
#include "store/write_result.h"

namespace shopwalk {

class RowOutput {
 public:
  // Opens (creates or empties) `path` as OpenForWriting does (a workbook is written at Close, as
  // WriteXlsxExport does); the result's reason says why it cannot be.
  static std::unique_ptr<RowOutput> Open(const std::string& path, WriteResult& result);
  ~RowOutput();
  RowOutput(const RowOutput&) = delete;
  RowOutput& operator=(const RowOutput&) = delete;

  void Write(const ShopRecord& record);
  // Writes what is left (the workbook) and closes the file.
  WriteResult Close();
  std::size_t Rows();

 private:
  RowOutput() = default;

  std::mutex mutex_;
  std::string path_;
  ExportFormat format_ = ExportFormat::Text;
  std::FILE* file_ = nullptr;
  std::vector<ResultRow> kept_;  // the workbook's rows until Close
  std::size_t rows_ = 0;
  std::string failure_;  // the first write error
};

}  // namespace shopwalk
