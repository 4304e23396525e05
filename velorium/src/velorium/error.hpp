// The error of the acquisition library, returned by every decoder, by the
// reader and by the computations over it, and its conversion into the
// vendor-neutral error.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "lumora/error.hpp"

namespace velorium {

class Error {
 public:
  struct Io {
    std::error_code code;
  };
  struct Parse {
    std::string message;
  };
  struct Scan {
    std::uint32_t scan_id = 0;
    std::string_view block;  // "profile" or "centroid"; constant text
    std::unique_ptr<Error> source;
  };
  // An argument of a call that cannot be used (a NaN tolerance, say): the
  // caller's mistake, found before anything is read.
  struct InvalidArgument {
    std::string_view argument;  // the argument's name; constant text
    std::string message;        // what is wrong with it
  };
  using Value = std::variant<Io, Parse, Scan, InvalidArgument>;

  static Error io(std::error_code code) { return Error(Io{code}); }
  static Error parse(std::string message) { return Error(Parse{std::move(message)}); }
  static Error scan(std::uint32_t scan_id, std::string_view block, Error source) {
    return Error(Scan{scan_id, block, std::make_unique<Error>(std::move(source))});
  }
  static Error invalid_argument(std::string_view argument, std::string message) {
    return Error(InvalidArgument{argument, std::move(message)});
  }

  const Value& value() const noexcept { return value_; }
  bool is_io() const noexcept { return std::holds_alternative<Io>(value_); }
  bool is_parse() const noexcept { return std::holds_alternative<Parse>(value_); }
  bool is_scan() const noexcept { return std::holds_alternative<Scan>(value_); }
  bool is_invalid_argument() const noexcept { return std::holds_alternative<InvalidArgument>(value_); }
  const Io* as_io() const noexcept { return std::get_if<Io>(&value_); }
  const Parse* as_parse() const noexcept { return std::get_if<Parse>(&value_); }
  const Scan* as_scan() const noexcept { return std::get_if<Scan>(&value_); }
  const InvalidArgument* as_invalid_argument() const noexcept { return std::get_if<InvalidArgument>(&value_); }

  // "I/O error: <system message>", "parse error: <message>",
  // "scanId=<id>: <block> block: <display of source>", or
  // "invalid argument '<argument>': <message>".
  std::string display() const;

  // Names the variant and its fields: Io(...), Parse("..."),
  // Scan { scan_id: 7, block: "profile", source: ... },
  // InvalidArgument { argument: "tolerance", message: "..." }.
  std::string debug() const;

  // The underlying cause: the I/O error of Io, the source of Scan, nothing
  // for Parse and InvalidArgument.
  using Cause = std::variant<std::monostate, std::error_code, const Error*>;
  Cause cause() const noexcept;

 private:
  explicit Error(Value value) : value_(std::move(value)) {}
  Value value_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }
inline std::unexpected<Error> parse_error(std::string message) {
  return std::unexpected<Error>(Error::parse(std::move(message)));
}
inline std::unexpected<Error> io_error(std::error_code code) {
  return std::unexpected<Error>(Error::io(code));
}

// Io stays Io with the same I/O error; every other error becomes the core
// Vendor error holding it.
lumora::Error to_core(Error error);

// Failures that have no operating-system error number.
enum class IoErrc {
  unexpected_eof = 1,  // the file ended before the requested bytes were read
  invalid_utf8,        // a text file that is not valid UTF-8
};
const std::error_category& io_category() noexcept;
inline std::error_code make_error_code(IoErrc e) noexcept { return {static_cast<int>(e), io_category()}; }

}  // namespace velorium

template <>
struct std::is_error_code_enum<velorium::IoErrc> : std::true_type {};

#define VELORIUM_CONCAT_INNER(a, b) a##b
#define VELORIUM_CONCAT(a, b) VELORIUM_CONCAT_INNER(a, b)

// Evaluates `expr` (a Result); on error returns the error from the enclosing
// function, otherwise moves the value into `lhs`.
#define VELORIUM_TRY(lhs, expr) VELORIUM_TRY_IMPL(VELORIUM_CONCAT(velorium_try_, __LINE__), lhs, expr)
#define VELORIUM_TRY_IMPL(tmp, lhs, expr)                                  \
  auto tmp = (expr);                                                       \
  if (!tmp) return std::unexpected<::velorium::Error>(std::move(tmp).error()); \
  lhs = std::move(*tmp)

// Evaluates `expr` (a Result<void>); on error returns the error from the
// enclosing function.
#define VELORIUM_CHECK(expr) VELORIUM_CHECK_IMPL(VELORIUM_CONCAT(velorium_check_, __LINE__), expr)
#define VELORIUM_CHECK_IMPL(tmp, expr) \
  if (auto tmp = (expr); !tmp) return std::unexpected<::velorium::Error>(std::move(tmp).error())
