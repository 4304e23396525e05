#include "velorium/raw/run_label.hpp"

#include <string_view>

#include "velorium/text.hpp"

namespace velorium::raw {

std::string run_label(const std::filesystem::path& root) {
  const std::string_view path = root.native();
  // Split into components as the platform does: repeated and trailing
  // separators vanish, and so does every "." but a leading one.
  std::string_view last;
  bool has_last = false;
  bool last_is_plain = false;
  if (!path.empty() && path.front() == '/') {
    has_last = true;  // the root directory
    last_is_plain = false;
  }
  std::size_t pos = 0;
  bool first = true;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." && !(first && path.front() != '/')) continue;
    first = false;
    last = part;
    has_last = true;
    last_is_plain = part != "." && part != "..";
  }
  if (!has_last || !last_is_plain) return "bundle.d";
  return text::lossy_utf8(last);
}

}  // namespace velorium::raw
