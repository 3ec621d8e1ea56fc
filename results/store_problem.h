// Why a results store could not be opened, read or written: what kind of trouble, the store it
// concerns and the reason in the system's or the database's own words. The one failure type of
// the stores' operations (as the error of an Expected, base/expected.h).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace shopwalk {

struct StoreProblem {
  enum class Kind {
    Corrupt,      // the file is not a store (or damaged beyond opening)
    InUse,        // another copy is walking with this store
    NotWritable,  // the folder or the file may not be written
    Full,         // the disk is full
    Other,        // anything else: an I/O error, a missing file, a store of a newer version
  };
  Kind kind = Kind::Other;
  std::string path;    // the store's file (a database: its location without the password)
  std::string reason;  // the system's or the database's own words
  // While writing fails: the rows reported and not written yet (0 for other problems).
  std::uint64_t unwrittenRows = 0;

  // The same problem in every part: a listener is told again only when this changes.
  bool operator==(const StoreProblem&) const = default;
};

// Call inside a catch block: the problem (Other) of an exception that ended doing `what` with the
// store at `path`, in the exception's own words.
inline StoreProblem ProblemOfCaughtException(const std::string& path, const std::string& what) {
  std::string reason = what + ": ";
  try {
    throw;
  } catch (const std::exception& error) {
    reason += error.what();
  } catch (...) {
    reason += "an exception that is not a std::exception";
  }
  return {StoreProblem::Kind::Other, path, reason};
}

}  // namespace shopwalk
