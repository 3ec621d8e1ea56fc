#include "cli/row_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "collect/text.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"

namespace shopwalk {
namespace {

// One row of the result list, at its position.
class OneRow : public ResultRows {
 public:
  explicit OneRow(const ResultRow& row) : row_(row) {}
  int RowCount() const override { return 1; }
  std::string CellText(int row, int column) const override {
    if (row != 0 || column < 0 || column >= ResultColumnCount) return {};
    return row_[static_cast<std::size_t>(column)];
  }

 private:
  const ResultRow& row_;
};

ExportLayout LayoutOf(ExportFormat format) {
  switch (format) {
    case ExportFormat::Csv:
      return ExportLayout::Csv;
    case ExportFormat::Jsonl:
      return ExportLayout::Jsonl;
    default:
      return ExportLayout::Full;
  }
}

}  // namespace

std::unique_ptr<RowOutput> RowOutput::Open(const std::string& path, WriteResult& result) {
  result = WriteResult{false, path, {}};
  std::unique_ptr<RowOutput> output(new RowOutput());
  output->path_ = path;
  output->format_ = FormatForFileName(path);
  if (output->format_ != ExportFormat::Xlsx) {
    const int fd = OpenForWriting(path, result.reason);
    if (fd < 0) return nullptr;
    output->file_ = ::fdopen(fd, "wb");
    if (output->file_ == nullptr) {
      result.reason = std::strerror(errno);
      ::close(fd);
      return nullptr;
    }
    const std::string header = ExportHeader(LayoutOf(output->format_), ExportEncoding::Gbk);
    if (!header.empty()) std::fwrite(header.data(), 1, header.size(), output->file_);
    std::fflush(output->file_);
  } else if (std::string target; !ResolveWriteTarget(path, target, result.reason)) {
    // Refused now rather than after the walk.
    return nullptr;
  }
  result.ok = true;
  return output;
}

RowOutput::~RowOutput() {
  if (file_ != nullptr) std::fclose(file_);
}

void RowOutput::Write(const ShopRecord& record) {
  std::lock_guard lock(mutex_);
  ++rows_;
  const ResultRow row = record.Row(NumberToText(static_cast<std::int32_t>(rows_)));
  if (format_ == ExportFormat::Xlsx) {
    kept_.push_back(row);
    return;
  }
  std::string line;
  AppendExportRow(OneRow(row), 0, LayoutOf(format_), ExportEncoding::Gbk, line);
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    if (failure_.empty()) failure_ = std::strerror(errno);
  }
}

WriteResult RowOutput::Close() {
  std::lock_guard lock(mutex_);
  WriteResult result{true, path_, {}};
  if (format_ == ExportFormat::Xlsx) {
    ExportOptions options;
    options.format = ExportFormat::Xlsx;
    return ExportRows(VectorRows(kept_), path_, options);
  }
  if (file_ != nullptr && std::fclose(file_) != 0 && failure_.empty()) {
    failure_ = std::strerror(errno);
  }
  file_ = nullptr;
  if (!failure_.empty()) {
    result.ok = false;
    result.reason = failure_;
  }
  return result;
}

std::size_t RowOutput::Rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

}  // namespace shopwalk
