// The XML configuration shared by every XML file of an acquisition. The
// document tree keeps whitespace-only text, comments and processing
// instructions, so "the first child is text" holds only when it does;
// names are matched by local name; a document type definition that
// declares anything is rejected and no entity is ever expanded beyond the
// five predefined ones and character references.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "velorium/error.hpp"

namespace velorium::raw::xml {

using Node = pugi::xml_node;

class Document {
 public:
  explicit Document(std::unique_ptr<pugi::xml_document> doc) noexcept : doc_(std::move(doc)) {}

  // The root element.
  Node root() const noexcept { return doc_->document_element(); }
  // The document node (parent of the root element).
  Node node() const noexcept { return *doc_; }

 private:
  std::unique_ptr<pugi::xml_document> doc_;
};

// Parses a whole document; the error is a Parse error whose message is the
// parser's (with the line and column where it stopped).
Result<Document> parse(std::string_view text);

// The name after any prefix.
std::string_view local_name(Node node) noexcept;

// The first child element of `node` with this local name, or an empty node.
Node child(Node node, std::string_view name) noexcept;

// The first element in document order (below `node`) with this local name.
Node find_element(Node node, std::string_view name) noexcept;

// The value of the first attribute with this local name, untrimmed.
std::optional<std::string_view> attribute(Node node, std::string_view name) noexcept;

// The text of an element: its first child when that child is text (text and
// CDATA sections that follow one another are one text), trimmed of Unicode
// white space. Nothing when the first child is not text.
std::optional<std::string> text(Node node);

// Calls `visit` for every element below `node` in document order.
template <class Visit>
void for_each_element(Node node, Visit&& visit) {
  for (Node n = node.first_child(); n;) {
    if (n.type() == pugi::node_element) visit(n);
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != node && !n.next_sibling()) n = n.parent();
    if (!n || n == node) break;
    n = n.next_sibling();
  }
}

}  // namespace velorium::raw::xml
