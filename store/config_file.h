// Our INI (settings file) reader and writer. Files are byte strings in the system code page
// (GBK); names and values are handled as bytes, without conversion.
//
// A file is lines ended by LF or CR LF. A line whose first non-blank byte is "[" and which holds
// a "]" starts a section named by the text in between; a line holding "=" inside a section is a
// key, named by the text before the first "=" and valued by the text after it. Names and values
// are read without the blanks around them; section and key names match without regard to the
// letter case of ASCII letters (two-byte characters match exactly). The first matching section
// and the first matching key in it count. Every other line is left alone. A UTF-8 byte-order mark
// (EF BB BF) at the very start of the file, as Windows editors write it, is no part of the first
// line: it is skipped when reading and kept as it is when writing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

// The longest value ReadConfigItem returns; a longer value is cut to this many bytes.
inline constexpr std::size_t ConfigValueLimit = 10239;

// The value of `key` in `section` of the file at `path`, or `defaultValue` when the file, the
// section or the key is missing. Leading bytes up to 0x20 are skipped in the path and both
// names; if one of them is then empty the result is "" and the file is not read. One pair of
// single or double quotes enclosing the whole value is dropped; the value ends at a NUL byte.
std::string ReadConfigItem(std::string_view path, std::string_view section, std::string_view key,
                           std::string_view defaultValue = {});

// Sets `key` in `section` to `value` in the file at `path`: a present key's line is rewritten in
// place, a missing key is added after the last key of its section, a missing section is added at
// the end of the file, a missing file is created. Without `value` the key's line is removed;
// without `key` the whole section (its header and every line up to the next section) is removed.
// Lines written end with CR LF; every other line keeps its bytes exactly (an unended last line
// gets a CR LF when a line is added after it). The path and names are used as given. The file
// is written through WriteFileBytes: replaced atomically where its folder and owner allow, so it
// never ends up damaged, otherwise (a read-only folder, say) written in place, which is not
// atomic.
//
// Returns whether the file now holds the change (removing what is not there succeeds without
// touching the file). Refused, with `reason` set: an empty path or section, an empty key, a name
// or value holding a line break or NUL, a key holding "=" or starting with "[", a section
// holding "]", an existing file that cannot be read, and any failure to write the file.
bool WriteConfigItem(std::string_view path, std::string_view section,
                     std::optional<std::string_view> key, std::optional<std::string_view> value,
                     std::string* reason = nullptr);

}  // namespace shopwalk
