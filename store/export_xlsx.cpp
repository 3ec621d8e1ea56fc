#include "store/export_xlsx.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

#include "collect/row_checks.h"
#include "store/export_cells.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"
#include "store/result_columns.h"

namespace shopwalk {
namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";
// What a column gets beyond its longest text, for the cell's padding and the filter button's room.
constexpr double ColumnMargin = 2;

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

bool Fail(std::string& reason, std::string text) {
  reason = std::move(text);
  return false;
}

// The file to be replaced: the path given, or the file a symbolic link there names.
struct Target {
  std::string path;
  std::string directory;
  bool existed = false;
  struct stat status {};
};

bool FindTarget(std::string_view path, Target& target, std::string& reason) {
  if (!ResolveWriteTarget(path, target.path, reason)) return false;
  struct stat info {};
  if (::lstat(target.path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Fail(reason, ErrnoText(EISDIR));
    // A symbolic link here was put in place meanwhile: it is not followed.
    if (!S_ISREG(info.st_mode)) return Fail(reason, "Not a regular file");
    if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
      return Fail(reason, ErrnoText(errno));
    }
    target.existed = true;
    target.status = info;
  } else if (errno != ENOENT) {
    return Fail(reason, ErrnoText(errno));
  }
  if (BaseNameOf(target.path).empty()) return Fail(reason, ErrnoText(EISDIR));
  target.directory = DirectoryOf(target.path);
  return true;
}

// A fresh, empty file beside the target that the workbook is written to; removed again unless
// it was renamed into place.
class TemporaryFile {
 public:
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  bool Create(const Target& target, std::string& reason) {
    static std::atomic<unsigned> counter{0};
    const std::string stem = target.directory + "/." + BaseNameOf(target.path).substr(0, 160) +
                             ".tmp" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = stem + std::to_string(counter.fetch_add(1));
      int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = std::move(candidate);
        return true;
      }
      if (errno != EEXIST) break;
    }
    reason = ErrnoText(errno);
    return false;
  }

  const std::string& Path() const { return path_; }
  void Forget() { path_.clear(); }

 private:
  std::string path_;
};

// Numbers are written by the C library's printf, which follows the locale's decimal point; the
// file format wants '.', whatever locale the program runs in. Holds for the calling thread only.
class ClassicLocaleOnThisThread {
 public:
  ClassicLocaleOnThisThread() : locale_(::newlocale(LC_ALL_MASK, "C", locale_t{})) {
    if (locale_) previous_ = ::uselocale(locale_);
  }
  ~ClassicLocaleOnThisThread() {
    if (!locale_) return;
    ::uselocale(previous_);
    ::freelocale(locale_);
  }
  ClassicLocaleOnThisThread(const ClassicLocaleOnThisThread&) = delete;
  ClassicLocaleOnThisThread& operator=(const ClassicLocaleOnThisThread&) = delete;

 private:
  locale_t locale_;
  locale_t previous_{};
};

// Whether `text` starts like the format's escape "_xHHHH_", which a spreadsheet program would
// read as the character HHHH.
bool StartsLikeEscape(std::string_view text) {
  if (text.size() < 7 || text[0] != '_' || text[1] != 'x' || text[6] != '_') return false;
  return std::all_of(text.begin() + 2, text.begin() + 6, [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// The UTF-8 text as the library is to get it: a '_' that starts an escape look-alike written as
// the escape of '_' itself ("_x005F_"), NUL as U+FFFD, and no more characters than a cell holds
// (the library counts the escapes too).
std::string SheetText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t characters = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    length = std::min(length, utf8.size() - i);
    std::string_view piece = utf8.substr(i, length);
    std::size_t pieceCharacters = 1;
    if (lead == 0) {
      piece = ReplacementCharacter;
    } else if (lead == '_' && StartsLikeEscape(utf8.substr(i))) {
      piece = "_x005F_";
      pieceCharacters = piece.size();
    }
    if (characters + pieceCharacters > static_cast<std::size_t>(XlsxMaxCellCharacters)) break;
    out += piece;
    characters += pieceCharacters;
    i += length;
  }
  return out;
}

std::string SheetName(int sheet) {
  std::string name(XlsxSheetName);
  if (sheet > 0) name += " " + std::to_string(sheet + 1);
  return name;
}

class WorkbookWriter {
 public:
  WorkbookWriter(const ResultRows& rows, int rowsPerSheet) : rows_(rows), perSheet_(rowsPerSheet) {}

  // Writes rows [0, rowCount) as a workbook at `file`; library scratch files go to `scratch`.
  bool Write(int rowCount, const std::string& file, std::string scratch, std::string& reason) {
    const ClassicLocaleOnThisThread classicNumbers;
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = scratch.data();
    errno = 0;
    lxw_workbook* workbook = ::workbook_new_opt(file.c_str(), &options);
    if (!workbook) return Fail(reason, Failure("Cannot start the workbook", errno));
    bold_ = ::workbook_add_format(workbook);
    ::format_set_bold(bold_);
    lxw_error error = LXW_NO_ERROR;
    for (int first = 0, sheet = 0; first < rowCount && !error; first += perSheet_, ++sheet) {
      errno = 0;
      lxw_worksheet* worksheet = ::workbook_add_worksheet(workbook, SheetName(sheet).c_str());
      if (!worksheet) {
        // Each sheet of a constant-memory workbook starts with a scratch file of its own.
        Fail(reason, Failure("Cannot create a scratch file for the sheet", errno));
        error = LXW_ERROR_CREATING_TMPFILE;
        break;
      }
      error = WriteSheet(worksheet, first, std::min(rowCount, first + perSheet_));
      if (error) Fail(reason, ::lxw_strerror(error));
    }
    // Closing writes the file (removed with the temporary file after a failure) and frees the
    // workbook, its sheets' scratch files included.
    errno = 0;
    const lxw_error closed = ::workbook_close(workbook);
    if (error) return false;
    if (closed) return Fail(reason, Failure(::lxw_strerror(closed), errno));
    return true;
  }

 private:
  static std::string Failure(std::string what, int error) {
    if (error != 0) what += ": " + ErrnoText(error);
    return what;
  }

  // Header and rows [first, last) on one sheet, then the columns' widths.
  lxw_error WriteSheet(lxw_worksheet* sheet, int first, int last) {
    std::array<std::size_t, ResultColumnCount> widths{};
    ::worksheet_freeze_panes(sheet, 1, 0);
    for (int column = 0; column < ResultColumnCount; ++column) {
      const std::string caption(ResultColumnCaptions[column]);
      if (lxw_error error = ::worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(column),
                                                     caption.c_str(), bold_)) {
        return error;
      }
      widths[column] = DisplayWidth(caption);
    }
    // The checks a row failed, in the last column.
    const auto checksColumn = static_cast<lxw_col_t>(ResultColumnCount);
    const std::string checksCaption(ChecksColumnCaption);
    if (lxw_error error =
            ::worksheet_write_string(sheet, 0, checksColumn, checksCaption.c_str(), bold_)) {
      return error;
    }
    std::size_t checksWidth = DisplayWidth(checksCaption);
    for (int row = first; row < last; ++row) {
      const auto sheetRow = static_cast<lxw_row_t>(row - first + 1);
      for (int column = 0; column < ResultColumnCount; ++column) {
        const std::string text = ExportCellUtf8(rows_.CellText(row, column));
        if (lxw_error error = WriteCell(sheet, sheetRow, column, text)) return error;
        widths[column] = std::max(widths[column], DisplayWidth(text));
      }
      const std::string checks = RowChecksText(CellChecks(rows_, row));
      if (!checks.empty()) {
        if (lxw_error error =
                ::worksheet_write_string(sheet, sheetRow, checksColumn, checks.c_str(), nullptr)) {
          return error;
        }
        checksWidth = std::max(checksWidth, checks.size());
      }
    }
    if (lxw_error error =
            ::worksheet_set_column(sheet, checksColumn, checksColumn,
                                   std::clamp(static_cast<double>(checksWidth) + ColumnMargin,
                                              XlsxMinColumnWidth, XlsxMaxColumnWidth),
                                   nullptr)) {
      return error;
    }
    for (int column = 0; column < ResultColumnCount; ++column) {
      const double width = std::clamp(static_cast<double>(widths[column]) + ColumnMargin,
                                      XlsxMinColumnWidth, XlsxMaxColumnWidth);
      const auto col = static_cast<lxw_col_t>(column);
      if (lxw_error error = ::worksheet_set_column(sheet, col, col, width, nullptr)) return error;
    }
    return LXW_NO_ERROR;
  }

  static lxw_error WriteCell(lxw_worksheet* sheet, lxw_row_t row, int column,
                             const std::string& text) {
    const auto col = static_cast<lxw_col_t>(column);
    if ((column == IndexColumn || column == ReputationColumn) && IsPlainDecimalNumber(text)) {
      double value = 0;
      std::from_chars(text.data(), text.data() + text.size(), value);
      return ::worksheet_write_number(sheet, row, col, value, nullptr);
    }
    if (text.empty()) return LXW_NO_ERROR;
    return ::worksheet_write_string(sheet, row, col, SheetText(text).c_str(), nullptr);
  }

  const ResultRows& rows_;
  const int perSheet_;
  lxw_format* bold_ = nullptr;
};

// Flushes the finished workbook to disk, gives it the target's permission bits and renames it
// over the target.
bool MoveIntoPlace(TemporaryFile& temporary, const Target& target, std::string& reason) {
  const int fd = ::open(temporary.Path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Fail(reason, ErrnoText(errno));
  struct stat written {};
  bool done = ::fstat(fd, &written) == 0 && ::fsync(fd) == 0;
  int error = errno;
  if (done && target.existed) {
    const struct stat& old = target.status;
    // The owner goes first: changing it clears the set-user-ID and set-group-ID bits. A file we
    // may not give away stays ours, and then without those bits.
    bool sameOwner = written.st_uid == old.st_uid && written.st_gid == old.st_gid;
    if (!sameOwner) sameOwner = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    done = ::fchmod(fd, old.st_mode & (sameOwner ? 07777 : 0777)) == 0;
    error = errno;
  }
  ::close(fd);
  if (!done) return Fail(reason, ErrnoText(error));
  if (::rename(temporary.Path().c_str(), target.path.c_str()) != 0) {
    return Fail(reason, ErrnoText(errno));
  }
  temporary.Forget();
  if (int directory = ::open(target.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      directory >= 0) {
    // Some file systems cannot sync a folder; the rename has happened all the same.
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

}  // namespace

WriteResult WriteXlsxExport(const ResultRows& rows, int rowCount, std::string_view path,
                            int rowsPerSheet) {
  WriteResult result;
  result.path = std::string(path);
  if (rowCount <= 0) {
    result.ok = true;
    return result;
  }
  if (rowsPerSheet <= 0 || rowsPerSheet > XlsxMaxRowsPerSheet) rowsPerSheet = XlsxMaxRowsPerSheet;
  Target target;
  TemporaryFile temporary;
  result.ok = FindTarget(path, target, result.reason) && temporary.Create(target, result.reason) &&
              WorkbookWriter(rows, rowsPerSheet)
                  .Write(rowCount, temporary.Path(), target.directory, result.reason) &&
              MoveIntoPlace(temporary, target, result.reason);
  return result;
}

}  // namespace shopwalk
