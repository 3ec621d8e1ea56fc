#include "results/pg/pg.h"

#include <libpq-fe.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "base/ascii.h"

namespace shopwalk::pg {
namespace {

// Type OIDs of the built-in types we send or read (fixed in every PostgreSQL release; libpq's
// client headers do not carry them).
constexpr Oid BoolType = 16;
constexpr Oid ByteaType = 17;
constexpr Oid Int8Type = 20;
constexpr Oid Int2Type = 21;
constexpr Oid Int4Type = 23;
constexpr Oid TextType = 25;
constexpr Oid OidType = 26;
constexpr Oid Float4Type = 700;
constexpr Oid Float8Type = 701;
constexpr Oid Int8ArrayType = 1016;

// A big-endian unsigned number of `size` bytes.
std::uint64_t ReadBigEndian(const char* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

void DropNotice(void* /*argument*/, const char* /*message*/) {}

// Whether `state` names a failure after which the connection is gone or the server is going away
// (class 08 connection exceptions; 57P01-57P03: shutdown, crash, not accepting connections).
bool MeansConnectionLost(const std::string& state) {
  return state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03";
}

// A message of libpq or of the server on one line: its lines (a hint after a tab, a DETAIL)
// joined with "; ", blanks around them dropped.
std::string TrimmedMessage(const char* message) {
  const std::string_view text = message == nullptr ? std::string_view() : message;
  std::string joined;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (!line.empty()) {
      if (!joined.empty()) joined += "; ";
      joined += line;
    }
    start = end + 1;
  }
  return joined;
}

// A part of a text: [start, end).
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
};

// Secrets shorter than this are only left out of a message where they are quoted whole (a
// password of a few letters would otherwise take every such letter out of the message).
constexpr std::size_t MinSecretAnywhere = 4;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The password of a URI's user part: between the first ':' after "scheme://" and the last '@'
// (a password holding '?', '/' or '@' unencoded is still taken whole); nothing when there is none
// (also when the first ':' comes after an '@': then it is a port's, after the user name).
std::optional<Span> UriPassword(std::string_view text) {
  const std::size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  const std::size_t authorityStart = scheme + 3;
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos || at < authorityStart) return std::nullopt;
  const std::size_t colon = text.find(':', authorityStart);
  if (colon == std::string_view::npos || colon >= text.find('@', authorityStart)) {
    return std::nullopt;
  }
  return Span{colon + 1, at};
}

// The values of the password=... and sslpassword=... words of `text` (any case, spaces around the
// '=' allowed, a value in single quotes with backslash escapes taken whole). A value ends at the
// next '&' (a URI's query) or at a space (key=value words).
std::vector<Span> PasswordWordValues(std::string_view text, bool uriForm) {
  static constexpr std::string_view Word = "password";
  std::vector<Span> spans;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t found = std::string_view::npos;
    for (std::size_t i = from; i + Word.size() <= text.size(); ++i) {
      if (EqualsIgnoringAsciiCase(text.substr(i, Word.size()), Word)) {
        found = i;
        break;
      }
    }
    if (found == std::string_view::npos) break;
    std::size_t i = found + Word.size();
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != '=') {
      from = found + 1;
      continue;
    }
    ++i;
    while (i < text.size() && IsSpace(text[i])) ++i;
    Span value{i, i};
    if (i < text.size() && text[i] == '\'') {
      ++i;
      while (i < text.size() && text[i] != '\'') i += text[i] == '\\' ? 2 : 1;
      value.end = std::min(text.size(), i + 1);
    } else if (uriForm) {
      value.end = std::min(text.size(), text.find('&', i));
    } else {
      while (i < text.size() && !IsSpace(text[i]) && text[i] != '"') ++i;
      value.end = i;
    }
    if (value.end > value.start) spans.push_back(value);
    from = std::max(value.end, found + 1);
  }
  return spans;
}

bool ContainsPasswordWord(std::string_view text) {
  return !PasswordWordValues(text, false).empty();
}

// `text` with %XX sequences decoded (others kept as they are).
std::string PercentDecoded(std::string_view text) {
  auto hexValue = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// What must not be shown of a connection URI (or key=value words).
struct Secrets {
  // The passwords as written (a URI's user part after the ':', password=... values), decoded, and
  // as libpq reads them.
  std::vector<std::string> exact;
  // The passwords as written, when libpq does not read them as written (a URI it cannot read, or
  // a '/' or '@' in a URI's password taking it apart): pieces of them may then be quoted as a host,
  // a port, a database or a query.
  std::vector<std::string> takenApart;
};

void AddSecret(std::vector<std::string>& secrets, std::string secret) {
  if (!secret.empty() && std::find(secrets.begin(), secrets.end(), secret) == secrets.end()) {
    secrets.push_back(std::move(secret));
  }
}

Secrets SecretsOf(std::string_view uri) {
  Secrets secrets;
  std::vector<std::string> written;
  const bool uriForm = uri.find("://") != std::string_view::npos;
  for (const Span& span : PasswordWordValues(uri, uriForm)) {
    written.emplace_back(uri.substr(span.start, span.end - span.start));
  }
  std::optional<std::string> uriPassword;
  if (const std::optional<Span> password = UriPassword(uri)) {
    uriPassword = PercentDecoded(uri.substr(password->start, password->end - password->start));
    written.emplace_back(uri.substr(password->start, password->end - password->start));
  }
  for (const std::string& secret : written) {
    AddSecret(secrets.exact, secret);
    AddSecret(secrets.exact, PercentDecoded(secret));
  }
  bool readAsWritten = false;
  const std::string text(uri);
  char* error = nullptr;
  if (PQconninfoOption* options = PQconninfoParse(text.c_str(), &error)) {
    readAsWritten = true;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
      const bool password = std::strcmp(option->keyword, "password") == 0;
      if (password || std::strcmp(option->keyword, "sslpassword") == 0) {
        if (option->val != nullptr) AddSecret(secrets.exact, option->val);
      }
      // libpq reads a URI's password from its user part only up to a '/' or the first '@'.
      if (password && uriPassword && (option->val == nullptr || *uriPassword != option->val)) {
        readAsWritten = false;
      }
    }
    PQconninfoFree(options);
  }
  PQfreemem(error);
  if (!readAsWritten) secrets.takenApart = written;
  return secrets;
}

// Where libpq cuts a URI apart.
constexpr std::string_view UriDelimiters = "/?@:&=#,";

bool IsUriDelimiter(char c) {
  return UriDelimiters.find(c) != std::string_view::npos;
}

// Whether `piece` is part of `secret` between two of the places libpq cuts it at (its ends or
// delimiters).
bool IsCutFrom(std::string_view secret, std::string_view piece) {
  for (std::size_t found = secret.find(piece); found != std::string_view::npos;
       found = secret.find(piece, found + 1)) {
    const std::size_t end = found + piece.size();
    if ((found == 0 || IsUriDelimiter(secret[found - 1])) &&
        (end == secret.size() || IsUriDelimiter(secret[end]))) {
      return true;
    }
  }
  return false;
}

// `quoted` with every piece of a `secret` libpq may have cut out of it (a run between delimiters or
// the quote's ends, on both sides) replaced with "***", the longest first at each place.
std::string WithoutPieces(std::string_view quoted, const std::vector<std::string>& secrets) {
  std::string text;
  for (std::size_t i = 0; i < quoted.size();) {
    std::size_t longest = 0;
    if (i == 0 || IsUriDelimiter(quoted[i - 1])) {
      for (std::size_t end = quoted.size(); end > i && longest == 0; --end) {
        if (end < quoted.size() && !IsUriDelimiter(quoted[end])) continue;
        for (const std::string& secret : secrets) {
          if (IsCutFrom(secret, quoted.substr(i, end - i))) {
            longest = end - i;
            break;
          }
        }
      }
    }
    if (longest > 0) {
      text += "***";
      i += longest;
    } else {
      text += quoted[i++];
    }
  }
  return text;
}

// Replaces each of `spans` (in order, not overlapping) in `text` with "***".
void ReplaceSpans(std::string& text, const std::vector<Span>& spans) {
  for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
    text.replace(span->start, span->end - span->start, "***");
  }
}

// Replaces every `secret` in `text` with "***".
void ReplaceAll(std::string& text, const std::string& secret) {
  if (secret.empty()) return;
  for (std::size_t found = text.find(secret); found != std::string::npos;
       found = text.find(secret, found + 3)) {
    text.replace(found, secret.size(), "***");
  }
}

}  // namespace

Status::Status(std::string sqlState, std::string message, bool connectionLost)
    : failed_(true),
      connectionLost_(connectionLost),
      sqlState_(std::move(sqlState)),
      message_(std::move(message)) {}

std::string Status::Describe() const {
  if (Ok()) return {};
  std::string text = message_.empty() ? std::string("unknown failure") : message_;
  if (!sqlState_.empty()) text += " (SQLSTATE " + sqlState_ + ")";
  return text;
}

// Result.

void Result::Clear::operator()(pg_result* result) const {
  PQclear(result);
}

void Result::Reset(pg_result* result) {
  result_.reset(result);
}

int Result::Rows() const {
  return result_ == nullptr ? 0 : PQntuples(result_.get());
}

int Result::Columns() const {
  return result_ == nullptr ? 0 : PQnfields(result_.get());
}

bool Result::IsNull(int row, int column) const {
  if (row < 0 || row >= Rows() || column < 0 || column >= Columns()) return true;
  return PQgetisnull(result_.get(), row, column) != 0;
}

std::int64_t Result::Int64(int row, int column) const {
  if (IsNull(row, column)) return 0;
  const char* value = PQgetvalue(result_.get(), row, column);
  const int length = PQgetlength(result_.get(), row, column);
  if (PQfformat(result_.get(), column) == 0) return std::strtoll(value, nullptr, 10);
  switch (PQftype(result_.get(), column)) {
    case BoolType:
      return length == 1 && value[0] != 0 ? 1 : 0;
    case Int2Type:
      return length == 2 ? static_cast<std::int16_t>(ReadBigEndian(value, 2)) : 0;
    case Int4Type:
      return length == 4 ? static_cast<std::int32_t>(ReadBigEndian(value, 4)) : 0;
    case OidType:
      return length == 4 ? static_cast<std::int64_t>(ReadBigEndian(value, 4)) : 0;
    case Int8Type:
      return length == 8 ? static_cast<std::int64_t>(ReadBigEndian(value, 8)) : 0;
    default:
      return 0;
  }
}

double Result::Double(int row, int column) const {
  if (IsNull(row, column)) return 0;
  const char* value = PQgetvalue(result_.get(), row, column);
  const int length = PQgetlength(result_.get(), row, column);
  if (PQfformat(result_.get(), column) == 0) return std::strtod(value, nullptr);
  switch (PQftype(result_.get(), column)) {
    case Float8Type:
      return length == 8 ? std::bit_cast<double>(ReadBigEndian(value, 8)) : 0;
    case Float4Type:
      return length == 4 ? std::bit_cast<float>(static_cast<std::uint32_t>(ReadBigEndian(value, 4)))
                         : 0;
    default:
      return static_cast<double>(Int64(row, column));
  }
}

std::string Result::Bytes(int row, int column) const {
  if (IsNull(row, column)) return {};
  return std::string(PQgetvalue(result_.get(), row, column),
                     static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

// Params.

void Params::Add(unsigned type, std::string value, bool binary, bool null) {
  storage_.push_back(std::move(value));
  types_.push_back(type);
  values_.push_back(null ? nullptr : storage_.back().data());
  lengths_.push_back(static_cast<int>(storage_.back().size()));
  formats_.push_back(binary ? 1 : 0);
}

Params& Params::Int(std::int64_t value) {
  Add(Int8Type, std::to_string(value), false);
  return *this;
}

Params& Params::NullInt() {
  Add(Int8Type, std::string(), false, true);
  return *this;
}

Params& Params::Double(double value) {
  // Shortest text that reads back to the same double; non-finite values as PostgreSQL spells them.
  std::string text;
  if (std::isnan(value)) {
    text = "NaN";
  } else if (value > std::numeric_limits<double>::max()) {
    text = "Infinity";
  } else if (value < -std::numeric_limits<double>::max()) {
    text = "-Infinity";
  } else {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    text = buffer;
  }
  Add(Float8Type, std::move(text), false);
  return *this;
}

Params& Params::Bool(bool value) {
  Add(BoolType, value ? "t" : "f", false);
  return *this;
}

Params& Params::Bytes(std::string_view bytes) {
  Add(ByteaType, std::string(bytes), true);
  return *this;
}

Params& Params::Text(std::string_view text) {
  Add(TextType, std::string(text), false);
  return *this;
}

Params& Params::IntArray(const std::vector<std::int64_t>& values) {
  std::string text = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(values[i]);
  }
  text += '}';
  Add(Int8ArrayType, std::move(text), false);
  return *this;
}

// Connection.

void Connection::Finish::operator()(pg_conn* connection) const {
  PQfinish(connection);
}

Status Connection::Open(const std::string& uri, std::chrono::milliseconds connectTimeout) {
  Close();
  uri_ = uri;
  // libpq counts the timeout in whole seconds; at least one (0 would wait for ever).
  const long long seconds =
      std::max<long long>(1, std::chrono::duration_cast<std::chrono::seconds>(
                                 connectTimeout + std::chrono::milliseconds(999))
                                 .count());
  const std::string timeout = std::to_string(seconds);
  // Defaults first: the expanded URI (dbname) overrides what comes before it.
  // A server gone without a word (a network cut) is noticed within half a minute, also while a
  // statement waits for its answer (tcp_user_timeout, in milliseconds).
  const char* const keywords[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                                  "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                                  "application_name",    "dbname",           nullptr};
  const char* const values[] = {timeout.c_str(), "1",        "10",        "5",    "3",
                                "30000",         "shopwalk", uri.c_str(), nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) return Status("", "out of memory", true);
  if (PQstatus(connection) != CONNECTION_OK) {
    Status failure = Failure("", PQerrorMessage(connection), true);
    PQfinish(connection);
    return failure;
  }
  PQsetNoticeProcessor(connection, DropNotice, nullptr);
  connection_.reset(connection);
  return {};
}

bool Connection::IsAlive() const {
  return connection_ != nullptr && PQstatus(connection_.get()) == CONNECTION_OK;
}

void Connection::Close() {
  connection_.reset();
}

Status Connection::Check(pg_result* result) const {
  const ExecStatusType status = result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) {
    return {};
  }
  std::string state;
  const char* message = nullptr;
  if (result != nullptr) {
    if (const char* field = PQresultErrorField(result, PG_DIAG_SQLSTATE)) state = field;
    message = PQresultErrorMessage(result);
  }
  if (TrimmedMessage(message).empty()) message = PQerrorMessage(connection_.get());
  if (TrimmedMessage(message).empty()) message = PQresStatus(status);
  const bool lost = PQstatus(connection_.get()) != CONNECTION_OK || MeansConnectionLost(state);
  return Failure(std::move(state), message, lost);
}

Status Connection::Failure(std::string sqlState, const char* message, bool connectionLost) const {
  return Status(std::move(sqlState), RedactedMessage(TrimmedMessage(message), uri_),
                connectionLost);
}

Status Connection::Execute(std::string_view sql) {
  if (connection_ == nullptr) return Status("", "not connected", true);
  const std::string text(sql);
  // With several statements libpq returns the last result; a failure stops at the failing one.
  Result result(PQexec(connection_.get(), text.c_str()));
  return Check(result.result_.get());
}

Status Connection::Run(std::string_view sql, const Params& params, Result& result) {
  result.Reset(nullptr);
  if (connection_ == nullptr) return Status("", "not connected", true);
  const std::string text(sql);
  result.Reset(PQexecParams(connection_.get(), text.c_str(), params.Count(), params.types_.data(),
                            params.values_.data(), params.lengths_.data(), params.formats_.data(),
                            1));
  Status status = Check(result.result_.get());
  if (!status) result.Reset(nullptr);
  return status;
}

Status Connection::Run(std::string_view sql, const Params& params) {
  Result result;
  return Run(sql, params, result);
}

bool Connection::InTransaction() const {
  if (connection_ == nullptr) return false;
  const PGTransactionStatusType status = PQtransactionStatus(connection_.get());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

// Transactions.

Status Connection::BeginTransaction(Isolation isolation) {
  return Execute(isolation == Isolation::RepeatableReadOnly
                     ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
                     : "BEGIN");
}

Status Connection::CommitTransaction() {
  if (IsOpen() && PQtransactionStatus(Handle()) == PQTRANS_INERROR) {
    return Status("25P02", "the transaction failed earlier and was rolled back", false);
  }
  return Execute("COMMIT");
}

void Connection::RollBackTransaction() {
  if (IsAlive() && InTransaction()) (void)Execute("ROLLBACK");
}

std::string RedactedUri(std::string_view uri) {
  std::string text(uri);
  // password=... first: its value may hold an '@' that would pass for the end of a user name.
  const bool uriForm = text.find("://") != std::string::npos;
  ReplaceSpans(text, PasswordWordValues(text, uriForm));
  if (const std::optional<Span> password = UriPassword(text)) {
    text.erase(password->start - 1, password->end - password->start + 1);
  }
  return text;
}

std::string RedactedMessage(std::string_view message, std::string_view uri) {
  Secrets secrets = SecretsOf(uri);
  // Longest first, so a shorter secret never leaves part of a longer one behind.
  std::sort(secrets.exact.begin(), secrets.exact.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string text(message);
  for (const std::string& secret : secrets.exact) {
    if (secret.size() >= MinSecretAnywhere) ReplaceAll(text, secret);
  }
  // libpq quotes the values it is given in double quotes: there a short secret quoted whole goes
  // too, pieces of a password it took apart, and quoted URIs and words.
  for (std::size_t open = text.find('"'); open != std::string::npos;) {
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string::npos) break;
    std::string quoted = text.substr(open + 1, close - open - 1);
    if (std::find(secrets.exact.begin(), secrets.exact.end(), quoted) != secrets.exact.end()) {
      quoted = "***";
    }
    if (!secrets.takenApart.empty()) quoted = WithoutPieces(quoted, secrets.takenApart);
    if (quoted.find("://") != std::string::npos || ContainsPasswordWord(quoted)) {
      quoted = RedactedUri(quoted);
    }
    text.replace(open + 1, close - open - 1, quoted);
    open = text.find('"', open + quoted.size() + 2);
  }
  ReplaceSpans(text, PasswordWordValues(text, false));
  return text;
}

bool HoldsPassword(std::string_view uri) {
  return !SecretsOf(uri).exact.empty();
}

}  // namespace shopwalk::pg
