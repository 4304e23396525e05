#include "velorium/error.hpp"

#include "velorium/text.hpp"

namespace velorium {
namespace {

class VendorAdapter final : public lumora::VendorError {
 public:
  explicit VendorAdapter(Error error) : error_(std::move(error)) {}
  std::string display() const override { return error_.display(); }
  std::string debug() const override { return error_.debug(); }

 private:
  Error error_;
};

class IoCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "velorium.io"; }
  std::string message(int code) const override {
    switch (static_cast<IoErrc>(code)) {
      case IoErrc::unexpected_eof:
        return "failed to fill whole buffer";
      case IoErrc::invalid_utf8:
        return "stream did not contain valid UTF-8";
    }
    return "unknown I/O error";
  }
};

std::string debug_io(const std::error_code& code) {
  return text::cat("Io(Os { code: ", code.value(), ", category: ", text::quote(code.category().name()),
                   ", message: ", text::quote(code.message()), " })");
}

}  // namespace

const std::error_category& io_category() noexcept {
  static const IoCategory category;
  return category;
}

std::string Error::display() const {
  if (const auto* io = as_io()) return "I/O error: " + io->code.message();
  if (const auto* parse = as_parse()) return "parse error: " + parse->message;
  if (const auto* invalid = as_invalid_argument()) {
    return text::cat("invalid argument '", invalid->argument, "': ", invalid->message);
  }
  const auto& scan = std::get<Scan>(value_);
  return text::cat("scanId=", scan.scan_id, ": ", scan.block, " block: ",
                   scan.source ? scan.source->display() : std::string());
}

std::string Error::debug() const {
  if (const auto* io = as_io()) return debug_io(io->code);
  if (const auto* parse = as_parse()) return text::cat("Parse(", text::quote(parse->message), ")");
  if (const auto* invalid = as_invalid_argument()) {
    return text::cat("InvalidArgument { argument: ", text::quote(invalid->argument),
                     ", message: ", text::quote(invalid->message), " }");
  }
  const auto& scan = std::get<Scan>(value_);
  return text::cat("Scan { scan_id: ", scan.scan_id, ", block: ", text::quote(scan.block),
                   ", source: ", scan.source ? scan.source->debug() : std::string("None"), " }");
}

Error::Cause Error::cause() const noexcept {
  if (const auto* io = as_io()) return io->code;
  if (const auto* scan = as_scan()) return static_cast<const Error*>(scan->source.get());
  return std::monostate{};
}

lumora::Error to_core(Error error) {
  if (const auto* io = error.as_io()) return lumora::Error::io(io->code);
  return lumora::Error::vendor(std::make_unique<VendorAdapter>(std::move(error)));
}

}  // namespace velorium
