#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "error/io_error.h"

namespace velkor::error {

// Wraps an error for construction of a Result, like std::unexpected.
template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <typename E>
Unexpected(E) -> Unexpected<E>;

// A value or an error. The API is a subset of std::expected so that it can
// become an alias once every compiler we build with supports <expected>.
template <typename T, typename E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename G>
  Result(Unexpected<G> u) : v_(std::in_place_index<1>, E(std::move(u).error())) {}  // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> v_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename G>
  Result(Unexpected<G> u) : error_(E(std::move(u).error())), ok_(false) {}  // NOLINT

  bool has_value() const { return ok_; }
  explicit operator bool() const { return ok_; }
  void value() const {}
  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool ok_ = true;
};

}  // namespace velkor::error

namespace velkor {

// Used by every module, so kept by its short name in the project namespace.
using error::Result;
using error::Unexpected;

}  // namespace velkor
