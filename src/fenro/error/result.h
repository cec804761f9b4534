// Result<T>: a value or a FenroError. Every fallible library operation returns one.
#ifndef FENRO_ERROR_RESULT_H_
#define FENRO_ERROR_RESULT_H_

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "fenro/error/error.h"

namespace fenro::error {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(FenroError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <class E, class = std::enable_if_t<std::is_constructible_v<FenroError::Variant, E&&> &&
                                              !std::is_convertible_v<E&&, T>>>
  Result(E&& e) : v_(std::in_place_index<1>, FenroError(std::forward<E>(e))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const FenroError& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  FenroError&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, FenroError> v_;
};

// Success or a FenroError, for operations without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(FenroError error) : error_(std::move(error)) {}  // NOLINT
  template <class E, class = std::enable_if_t<std::is_constructible_v<FenroError::Variant, E&&>>>
  Status(E&& e) : error_(FenroError(std::forward<E>(e))) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const FenroError& error() const& {
    assert(!ok());
    return *error_;
  }
  FenroError&& error() && {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<FenroError> error_;
};

}  // namespace fenro::error

namespace fenro {
// The vocabulary every folder returns, visible from every fenro namespace.
using error::FenroError;
using error::Result;
using error::Status;
}  // namespace fenro

// Returns the error of a failed Status or Result from the enclosing function.
#define FENRO_RETURN_IF_ERROR(expr)                  \
  do {                                               \
    auto fenro_status_ = (expr);                     \
    if (!fenro_status_.ok()) {                       \
      return std::move(fenro_status_).error();       \
    }                                                \
  } while (0)

#endif  // FENRO_ERROR_RESULT_H_
