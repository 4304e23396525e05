#include "velorium/raw/xml.hpp"

#include <cstddef>
#include <unordered_map>

#include "velorium/text.hpp"

namespace velorium::raw::xml {
namespace {

constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_wconv_attribute |
                                   pugi::parse_eol | pugi::parse_ws_pcdata | pugi::parse_comments |
                                   pugi::parse_pi | pugi::parse_doctype | pugi::parse_declaration |
                                   // keeps text outside the root element, so that it can be refused
                                   pugi::parse_fragment;

// "line:column" of a byte offset, both 1-based, the column in characters.
std::string position(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return text::cat(line, ":", column);
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The internal subset of a DOCTYPE value (everything between '[' and the
// matching ']' outside quoted literals), without comments and white space.
// Non-empty means the definition declares something.
bool declares_anything(std::string_view doctype) noexcept {
  std::size_t i = 0;
  char quote = 0;
  for (; i < doctype.size(); ++i) {
    const char c = doctype[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      break;
    }
  }
  if (i == doctype.size()) return false;
  for (++i; i < doctype.size(); ++i) {
    if (is_space(doctype[i])) continue;
    if (doctype.substr(i, 4) == "<!--") {
      const auto end = doctype.find("-->", i + 4);
      if (end == std::string_view::npos) return true;
      i = end + 2;
      continue;
    }
    return doctype[i] != ']';
  }
  return false;
}

bool is_name_char(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' ||
         c == '-' || c == '.' || u >= 0x80;
}

// The first reference to an entity other than the predefined ones, outside
// comments, CDATA sections, processing instructions and the DOCTYPE. Such a
// reference is never expanded; the document is refused instead.
std::optional<std::size_t> undefined_entity(std::string_view text) noexcept {
  std::size_t i = 0;
  const auto skip_to = [&](std::string_view end) {
    const auto pos = text.find(end, i);
    i = pos == std::string_view::npos ? text.size() : pos + end.size();
  };
  while (i < text.size()) {
    if (text[i] == '<') {
      if (text.substr(i, 4) == "<!--") {
        skip_to("-->");
      } else if (text.substr(i, 9) == "<![CDATA[") {
        skip_to("]]>");
      } else if (text.substr(i, 2) == "<?") {
        skip_to("?>");
      } else if (text.substr(i, 9) == "<!DOCTYPE") {
        // The parser has already checked the DOCTYPE's nesting; skip its
        // brackets and quoted literals.
        int depth = 0;
        char quote = 0;
        for (++i; i < text.size(); ++i) {
          const char c = text[i];
          if (quote != 0) {
            if (c == quote) quote = 0;
          } else if (c == '"' || c == '\'') {
            quote = c;
          } else if (c == '[') {
            ++depth;
          } else if (c == ']') {
            --depth;
          } else if (c == '>' && depth <= 0) {
            ++i;
            break;
          }
        }
      } else {
        ++i;
      }
      continue;
    }
    if (text[i] == '&') {
      std::size_t end = i + 1;
      if (end < text.size() && text[end] == '#') {
        i = end;
        continue;
      }
      while (end < text.size() && is_name_char(text[end])) ++end;
      const std::string_view name = text.substr(i + 1, end - i - 1);
      if (end < text.size() && text[end] == ';' && name != "amp" && name != "lt" && name != "gt" &&
          name != "quot" && name != "apos") {
        return i;
      }
      i = end;
      continue;
    }
    ++i;
  }
  return std::nullopt;
}

}  // namespace

Result<Document> parse(std::string_view text) {
  auto doc = std::make_unique<pugi::xml_document>();
  const pugi::xml_parse_result result = doc->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
  if (!result) {
    return parse_error(
        text::cat(result.description(), " at ", position(text, static_cast<std::size_t>(result.offset))));
  }
  std::size_t roots = 0;
  for (Node n = doc->first_child(); n; n = n.next_sibling()) {
    switch (n.type()) {
      case pugi::node_element:
        ++roots;
        break;
      case pugi::node_doctype:
        if (roots != 0) return parse_error("a document type definition after the root element is not allowed");
        if (declares_anything(n.value())) {
          return parse_error(
              "a document type definition with declarations is not allowed (entities are never expanded)");
        }
        break;
      case pugi::node_declaration:
        if (n != doc->first_child()) return parse_error("an XML declaration is allowed only at the start");
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        if (!text::trim(n.value()).empty()) return parse_error("text outside the root element");
        break;
      default:
        break;
    }
  }
  if (roots == 0) return parse_error("the document has no root element");
  if (roots > 1) return parse_error("the document has more than one root element");
  // The first element with a repeated attribute name, and in it the first
  // attribute that has a later namesake; counted, so that an element with
  // very many attributes costs linear time.
  const char* duplicate = nullptr;
  std::unordered_map<std::string_view, std::size_t> counts;
  for_each_element(doc->root(), [&](Node element) {
    if (duplicate || !element.first_attribute() || !element.first_attribute().next_attribute()) return;
    counts.clear();
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) ++counts[a.name()];
    for (pugi::xml_attribute a = element.first_attribute(); a && !duplicate; a = a.next_attribute()) {
      if (counts[a.name()] > 1) duplicate = a.name();
    }
  });
  if (duplicate) return parse_error(text::cat("duplicate attribute ", text::quote(duplicate)));
  if (const auto at = undefined_entity(text)) {
    return parse_error(text::cat("unknown entity reference at ", position(text, *at)));
  }
  return Document(std::move(doc));
}

std::string_view local_name(Node node) noexcept {
  const std::string_view name = node.name();
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

Node child(Node node, std::string_view name) noexcept {
  for (Node n = node.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element && local_name(n) == name) return n;
  }
  return {};
}

Node find_element(Node node, std::string_view name) noexcept {
  Node found;
  for_each_element(node, [&](Node n) {
    if (!found && local_name(n) == name) found = n;
  });
  return found;
}

std::optional<std::string_view> attribute(Node node, std::string_view name) noexcept {
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    std::string_view attr_name = a.name();
    const auto colon = attr_name.find(':');
    if (colon != std::string_view::npos) attr_name.remove_prefix(colon + 1);
    if (attr_name == name) return std::string_view(a.value());
  }
  return std::nullopt;
}

std::optional<std::string> text(Node node) {
  Node n = node.first_child();
  if (!n || (n.type() != pugi::node_pcdata && n.type() != pugi::node_cdata)) return std::nullopt;
  std::string merged;
  for (; n && (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata); n = n.next_sibling()) {
    merged.append(n.value());
  }
  return std::string(text::trim(merged));
}

}  // namespace velorium::raw::xml
