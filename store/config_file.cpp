#include "store/config_file.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include "base/ascii.h"
#include "store/file_bytes.h"

namespace shopwalk {
namespace {

// Editors on Windows may start a UTF-8 file with this mark; it belongs to no line.
constexpr std::string_view Utf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && IsBlank(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string_view SkipLeadingControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  return text;
}

// Names match ignoring the case of ASCII letters. A two-byte GBK character is compared exactly:
// its second byte may look like an ASCII letter but is not one.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 0x81 && x <= 0xFE && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (AsciiLower(x) != AsciiLower(y)) return false;
  }
  return true;
}

// One line of the file, with its own line end (LF, CR LF or none for an unended last line).
// Names and values are kept as offsets into `bytes`, so lines may be moved around freely.
struct Line {
  enum class Kind { Other, Section, Key };
  std::string bytes;
  Kind kind = Kind::Other;
  std::size_t nameBegin = 0, nameSize = 0;    // section or key name, without surrounding blanks
  std::size_t valueBegin = 0, valueSize = 0;  // key value, without surrounding blanks
  std::size_t afterEquals = 0;                // just after the "=" of a key line

  std::string_view Name() const { return std::string_view(bytes).substr(nameBegin, nameSize); }
  std::string_view Value() const { return std::string_view(bytes).substr(valueBegin, valueSize); }
};

std::string_view ContentOf(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

void Classify(Line& line) {
  std::string_view all = line.bytes;
  auto offset = [all](std::string_view part) {
    return static_cast<std::size_t>(part.data() - all.data());
  };
  std::string_view content = ContentOf(all);
  std::string_view text = Trim(content);
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close != std::string_view::npos) {
      std::string_view name = Trim(text.substr(1, close - 1));
      line.kind = Line::Kind::Section;
      line.nameBegin = offset(name);
      line.nameSize = name.size();
      return;
    }
  }
  std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) return;
  std::string_view name = Trim(content.substr(0, equals));
  std::string_view value = Trim(content.substr(equals + 1));
  line.kind = Line::Kind::Key;
  line.nameBegin = name.empty() ? 0 : offset(name);
  line.nameSize = name.size();
  line.valueBegin = value.empty() ? 0 : offset(value);
  line.valueSize = value.size();
  line.afterEquals = equals + 1;
}

std::string_view ByteOrderMarkOf(std::string_view content) {
  return content.starts_with(Utf8ByteOrderMark) ? Utf8ByteOrderMark : std::string_view();
}

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  while (!content.empty()) {
    std::size_t end = content.find('\n');
    end = end == std::string_view::npos ? content.size() : end + 1;
    Line& line = lines.emplace_back();
    line.bytes = std::string(content.substr(0, end));
    Classify(line);
    content.remove_prefix(end);
  }
  return lines;
}

Line Unparsed(std::string bytes) {
  Line line;
  line.bytes = std::move(bytes);
  return line;
}

// Index of the first section named `section`, or lines.size().
std::size_t FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == Line::Kind::Section && SameName(lines[i].Name(), section)) return i;
  }
  return lines.size();
}

// One past the last line of the section whose header is at `header`.
std::size_t SectionEnd(const std::vector<Line>& lines, std::size_t header) {
  std::size_t i = header + 1;
  while (i < lines.size() && lines[i].kind != Line::Kind::Section) ++i;
  return i;
}

// Index of the first key named `key` in [begin, end), or `end`.
std::size_t FindKey(const std::vector<Line>& lines, std::size_t begin, std::size_t end,
                    std::string_view key) {
  for (std::size_t i = begin; i < end; ++i) {
    if (lines[i].kind == Line::Kind::Key && SameName(lines[i].Name(), key)) return i;
  }
  return end;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

bool Refuse(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
  return false;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string Join(std::string_view byteOrderMark, const std::vector<Line>& lines) {
  std::size_t size = byteOrderMark.size();
  for (const Line& line : lines) size += line.bytes.size();
  std::string content(byteOrderMark);
  content.reserve(size);
  for (const Line& line : lines) content += line.bytes;
  return content;
}

void EnsureLineEnd(std::string& bytes) {
  if (!bytes.empty() && bytes.back() != '\n') bytes += CrLf;
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string line(key);
  line += '=';
  line += value;
  line += CrLf;
  return line;
}

}  // namespace

std::string ReadConfigItem(std::string_view path, std::string_view section, std::string_view key,
                           std::string_view defaultValue) {
  path = SkipLeadingControls(path);
  section = SkipLeadingControls(section);
  key = SkipLeadingControls(key);
  if (path.empty() || section.empty() || key.empty()) return {};

  std::optional<std::string> content = ReadFileBytes(path);
  if (!content) return std::string(defaultValue);
  std::string_view text = *content;
  text.remove_prefix(ByteOrderMarkOf(text).size());
  std::vector<Line> lines = SplitLines(text);
  std::size_t header = FindSection(lines, section);
  if (header == lines.size()) return std::string(defaultValue);
  std::size_t end = SectionEnd(lines, header);
  std::size_t found = FindKey(lines, header + 1, end, key);
  if (found == end) return std::string(defaultValue);

  std::string_view value = Unquote(lines[found].Value());
  value = value.substr(0, value.find('\0'));
  if (value.size() > ConfigValueLimit) value = value.substr(0, ConfigValueLimit);
  return std::string(value);
}

bool WriteConfigItem(std::string_view path, std::string_view section,
                     std::optional<std::string_view> key, std::optional<std::string_view> value,
                     std::string* reason) {
  if (path.empty()) return Refuse(reason, "No file name");
  if (section.empty() || HasLineBreakOrNul(section) || section.find(']') != std::string::npos) {
    return Refuse(reason, "Invalid section name");
  }
  if (key && (key->empty() || HasLineBreakOrNul(*key) || key->find('=') != std::string::npos ||
              Trim(*key).starts_with('['))) {
    return Refuse(reason, "Invalid key name");
  }
  if (value && HasLineBreakOrNul(*value)) return Refuse(reason, "Value holds a line break");

  int error = 0;
  std::optional<std::string> content = ReadFileBytes(path, &error);
  if (!content && error != ENOENT) {
    return Refuse(reason, std::error_code(error, std::generic_category()).message());
  }
  std::string_view text = content ? std::string_view(*content) : std::string_view();
  std::string_view byteOrderMark = ByteOrderMarkOf(text);
  text.remove_prefix(byteOrderMark.size());
  std::vector<Line> lines = SplitLines(text);

  std::size_t header = FindSection(lines, section);
  bool sectionFound = header < lines.size();
  std::size_t end = sectionFound ? SectionEnd(lines, header) : lines.size();

  if (!key) {
    if (!sectionFound) return true;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                lines.begin() + static_cast<std::ptrdiff_t>(end));
  } else if (!value) {
    if (!sectionFound) return true;
    std::size_t found = FindKey(lines, header + 1, end, *key);
    if (found == end) return true;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found));
  } else if (sectionFound) {
    std::size_t found = FindKey(lines, header + 1, end, *key);
    if (found < end) {
      // Keep the line's own spelling of the key and everything up to the "=".
      Line& line = lines[found];
      line.bytes = line.bytes.substr(0, line.afterEquals) + std::string(*value) + std::string(CrLf);
    } else {
      std::size_t after = header;
      for (std::size_t i = header + 1; i < end; ++i) {
        if (lines[i].kind == Line::Kind::Key) after = i;
      }
      EnsureLineEnd(lines[after].bytes);
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after + 1),
                   Unparsed(KeyLine(*key, *value)));
    }
  } else {
    if (!lines.empty()) {
      EnsureLineEnd(lines.back().bytes);
      // Separate the new section from the one before by an empty line.
      if (!Trim(lines.back().bytes).empty()) lines.push_back(Unparsed(std::string(CrLf)));
    }
    lines.push_back(Unparsed("[" + std::string(section) + "]" + std::string(CrLf)));
    lines.push_back(Unparsed(KeyLine(*key, *value)));
  }
  return WriteFileBytes(path, Join(byteOrderMark, lines), reason);
}

}  // namespace shopwalk
