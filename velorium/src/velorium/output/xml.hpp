// The XML that the writers produce: an element writer (indentation,
// attributes, escaping) and the texts it is made of: numbers in their
// shortest round-trip form, escaped character data, XML names, date-times
// and file URIs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velorium::output {

// The shortest decimal text that reads back to exactly `value` (std::to_chars
// without a format): "1e-07", "412.25", "nan", "inf".
void append_number(std::string& out, double value);
void append_number(std::string& out, float value);
void append_number(std::string& out, std::uint64_t value);

// `text` as XML character data or attribute value: '&', '<', '>', '"' and
// '\'' as references, tab, line feed and carriage return as character
// references (attribute value normalisation keeps them); every maximal
// invalid UTF-8 sequence and every character XML 1.0 does not allow
// (other control characters, U+FFFE, U+FFFF) becomes U+FFFD.
void append_escaped(std::string& out, std::string_view text);
std::string escaped(std::string_view text);

// A valid XML non-colonised name made from `text`: ASCII letters, digits,
// '-', '.' and '_' are kept, every other byte becomes '_', and a name that
// would not start with a letter or '_' gets a leading '_'. Never empty.
std::string xml_name(std::string_view text);

// True when `text` is an XML Schema dateTime: [-]YYYY-MM-DDThh:mm:ss with
// optional fractional seconds and an optional zone (Z or +hh:mm / -hh:mm),
// every field in range (days checked against the month, leap years included).
bool is_xml_datetime(std::string_view text) noexcept;

// A file: URI for the absolute form of `path`, every byte outside the
// unreserved characters and '/' percent-encoded.
std::string file_uri(const std::filesystem::path& path);

// Text that needs no escaping (base64, fixed names), written as it is.
struct Verbatim {
  std::string_view text;
};

// An attribute: its value is escaped text, verbatim text or a number.
struct Attribute {
  using Value = std::variant<std::string_view, Verbatim, std::uint64_t, double, float>;
  std::string_view name;
  Value value;
};

// Writes elements into a string, one per line, indented by two spaces per
// level of nesting.
class XmlWriter {
 public:
  explicit XmlWriter(std::string& out, int depth = 0) noexcept : out_(&out), depth_(depth) {}

  // <name a="v" ...> and one level deeper.
  void open(std::string_view name, std::span<const Attribute> attributes = {});
  void open(std::string_view name, std::initializer_list<Attribute> attributes) {
    open(name, std::span(attributes.begin(), attributes.size()));
  }
  // One level up, then </name>.
  void close(std::string_view name);
  // <name a="v" .../>
  void empty(std::string_view name, std::span<const Attribute> attributes);
  void empty(std::string_view name, std::initializer_list<Attribute> attributes) {
    empty(name, std::span(attributes.begin(), attributes.size()));
  }
  // <name a="v" ...>text</name>, the text escaped unless it is Verbatim.
  void leaf(std::string_view name, std::span<const Attribute> attributes, std::variant<std::string_view, Verbatim> text);
  void leaf(std::string_view name, std::initializer_list<Attribute> attributes,
            std::variant<std::string_view, Verbatim> text) {
    leaf(name, std::span(attributes.begin(), attributes.size()), text);
  }

  // Where in the string the value of attribute `k` of the last start tag
  // (open, empty or leaf) begins, and how long it is.
  std::size_t value_offset(std::size_t k) const noexcept { return values_[k].first; }
  std::size_t value_size(std::size_t k) const noexcept { return values_[k].second; }

  int depth() const noexcept { return depth_; }
  std::string& text() noexcept { return *out_; }

 private:
  void start_tag(std::string_view name, std::span<const Attribute> attributes);

  std::string* out_;
  int depth_;
  std::vector<std::pair<std::size_t, std::size_t>> values_;
};

}  // namespace velorium::output
