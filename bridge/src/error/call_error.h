#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "error/io_error.h"

namespace velkor::error {

// Why a browser call failed. Its text reaches the agent unchanged, so the
// wording is part of the product's behaviour. A plain value; copy freely.
class CallError {
 public:
  enum class Kind {
    kNotConnected,
    kWriteFailed,
    kTimeout,
    kConnectionLost,
    kExtension,
  };

  // No extension connection to send the request on.
  static CallError not_connected();
  // Writing the request failed with `error`.
  static CallError write_failed(IoError error);
  // No answer arrived within `waited`.
  static CallError timeout(std::chrono::seconds waited);
  // The connection ended while the caller waited.
  static CallError connection_lost();
  // The extension answered ok false with this text.
  static CallError extension(std::string text);
  // The extension answered ok false; an absent error text reads
  // "unknown error".
  static CallError extension_or_unknown(std::optional<std::string> text);

  Kind kind() const { return kind_; }

  std::string to_string() const;

 private:
  explicit CallError(Kind kind) : kind_(kind) {}

  Kind kind_;
  IoError write_error_;
  std::chrono::seconds waited_{0};
  std::string text_;
};

}  // namespace velkor::error
