// Text of the XML the writers produce: numbers in their shortest round-trip
// form, escaped character data, XML names, date-times and file URIs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace velorium::mzml {

// The shortest decimal text that reads back to exactly `value` (std::to_chars
// without a format): "1e-07", "412.25", "nan", "inf".
void append_number(std::string& out, double value);
void append_number(std::string& out, float value);
void append_number(std::string& out, std::uint64_t value);

// `text` as XML character data or attribute value: '&', '<', '>', '"' and
// '\'' as references; characters XML 1.0 does not allow (control characters
// other than tab, line feed and carriage return, U+FFFE, U+FFFF, surrogates)
// and invalid UTF-8 become U+FFFD.
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

}  // namespace velorium::mzml
