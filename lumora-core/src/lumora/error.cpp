#include "lumora/error.hpp"

namespace lumora {

std::string Error::display() const {
  struct Visitor {
    std::string operator()(const Io& e) const { return "I/O error: " + e.code.message(); }
    std::string operator()(const Vendor& e) const {
      return "vendor parser error: " + (e.payload ? e.payload->display() : std::string());
    }
    std::string operator()(const UnsupportedFormat& e) const {
      return "unsupported or unrecognized format: " + e.text;
    }
    std::string operator()(const Conformance& e) const { return "conformance violation: " + e.text; }
  };
  return std::visit(Visitor{}, value_);
}

}  // namespace lumora
