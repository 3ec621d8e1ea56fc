// The result of an operation that can fail: either its value or the reason it failed, never both
// and never neither. Shaped like C++23's std::expected (which C++20 lacks), kept small:
//
//   Expected<Rows, StoreProblem> rows = reader.Rows();
//   if (!rows) return Show(rows.error());
//   for (const auto& row : *rows) ...
//
// `Expected<void, E>` holds nothing on success. A failure is made with MakeUnexpected(reason) (or
// Unexpected<E>(reason)), which converts to any Expected with that error type E. Asking a value of
// a failed result (or the error of a successful one) is a programming fault: it throws
// std::logic_error rather than reading what is not there.
#pragma once

#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace shopwalk {

// NOLINTBEGIN(readability-identifier-naming): has_value, value, value_or and error are named as
// std::expected's, so that code reads the same once C++23's can replace this one.

// The reason a result failed, on its way into an Expected.
template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}

  const E& error() const& { return error_; }
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <typename E>
Unexpected<std::decay_t<E>> MakeUnexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <typename T, typename E>
class Expected;

namespace internal {

// What may be given to Expected<T, E> as its value: what makes a T, and is neither another
// Expected nor a failure.
template <typename U, typename T, typename E>
concept ValueOf =
    std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Expected<T, E>> &&
    !std::is_same_v<std::remove_cvref_t<U>, Unexpected<E>>;

[[noreturn]] inline void ThrowBadExpectedAccess(const char* what) {
  throw std::logic_error(what);
}

}  // namespace internal

template <typename T, typename E>
class Expected {
  static_assert(!std::is_same_v<std::decay_t<T>, std::decay_t<E>>,
                "a value and its error of one type could not be told apart");

 public:
  using ValueType = T;
  using ErrorType = E;

  // A default-made result holds a default-made value, like std::expected.
  Expected() : state_(std::in_place_index<0>) {}
  // A value converts, as in std::expected (enable_if rather than the concept alone, so that
  // clang-tidy sees this never stands in for the copy and move constructors).
  template <typename U = T, std::enable_if_t<internal::ValueOf<U, T, E>, int> = 0>
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Expected(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure).error()) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // The value; throws std::logic_error when the result failed.
  T& value() & { return Checked(*this); }
  const T& value() const& { return Checked(*this); }
  T&& value() && { return std::move(Checked(*this)); }
  // The value, or `fallback` when the result failed.
  template <typename U>
  T value_or(U&& fallback) const& {
    return has_value() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
  }
  template <typename U>
  T value_or(U&& fallback) && {
    return has_value() ? std::move(std::get<0>(state_)) : static_cast<T>(std::forward<U>(fallback));
  }

  // Why it failed; throws std::logic_error when it did not.
  const E& error() const& { return CheckedError(*this); }
  E& error() & { return CheckedError(*this); }
  E&& error() && { return std::move(CheckedError(*this)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  template <typename Self>
  static auto& Checked(Self& self) {
    if (!self.has_value()) internal::ThrowBadExpectedAccess("Expected: no value (it failed)");
    return std::get<0>(self.state_);
  }
  template <typename Self>
  static auto& CheckedError(Self& self) {
    if (self.has_value()) internal::ThrowBadExpectedAccess("Expected: no error (it succeeded)");
    return std::get<1>(self.state_);
  }

  std::variant<T, E> state_;
};

// Success with nothing to hand back, or the reason it failed.
template <typename E>
class Expected<void, E> {
 public:
  using ValueType = void;
  using ErrorType = E;

  Expected() = default;
  Expected(Unexpected<E> failure) : error_(std::move(failure).error()) {}

  bool has_value() const { return !error_; }
  explicit operator bool() const { return has_value(); }
  // Nothing to return; throws std::logic_error when the result failed.
  void value() const {
    if (error_) internal::ThrowBadExpectedAccess("Expected: no value (it failed)");
  }

  const E& error() const& { return CheckedError(*this); }
  E& error() & { return CheckedError(*this); }
  E&& error() && { return std::move(CheckedError(*this)); }

 private:
  template <typename Self>
  static auto& CheckedError(Self& self) {
    if (!self.error_) internal::ThrowBadExpectedAccess("Expected: no error (it succeeded)");
    return *self.error_;
  }

  std::optional<E> error_;
};

// NOLINTEND(readability-identifier-naming)

}  // namespace shopwalk
