// The error that every SpectrumSource operation delivers.
#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <variant>

namespace lumora {

// An error of the reader that produced it. Implementations are immutable
// after construction, so they may be sent between threads and shared.
class VendorError {
 public:
  virtual ~VendorError() = default;
  virtual std::string display() const = 0;
  // Debugging rendering; defaults to the display text.
  virtual std::string debug() const { return display(); }
};

class Error {
 public:
  struct Io {
    std::error_code code;
  };
  struct Vendor {
    std::unique_ptr<const VendorError> payload;
  };
  struct UnsupportedFormat {
    std::string text;
  };
  struct Conformance {
    std::string text;
  };
  using Value = std::variant<Io, Vendor, UnsupportedFormat, Conformance>;

  static Error io(std::error_code code) { return Error(Io{code}); }
  static Error vendor(std::unique_ptr<const VendorError> payload) { return Error(Vendor{std::move(payload)}); }
  static Error unsupported_format(std::string text) { return Error(UnsupportedFormat{std::move(text)}); }
  static Error conformance(std::string text) { return Error(Conformance{std::move(text)}); }

  const Value& value() const noexcept { return value_; }

  // "I/O error: ...", "vendor parser error: ...",
  // "unsupported or unrecognized format: ...", "conformance violation: ...".
  std::string display() const;

 private:
  explicit Error(Value value) : value_(std::move(value)) {}
  Value value_;
};

}  // namespace lumora
