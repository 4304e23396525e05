#include <gtest/gtest.h>

#include "velorium/raw/xml.hpp"

namespace {

namespace xml = velorium::raw::xml;

// The parser's message of a failed parse (a Parse error by contract).
std::string message(const velorium::Result<xml::Document>& result) {
  const velorium::Error& error = result.error();
  return error.is_parse() ? error.as_parse()->message : "not a Parse error: " + error.display();
}

xml::Document parse_ok(std::string_view text) {
  auto doc = xml::parse(text);
  EXPECT_TRUE(doc) << text << ": " << (doc ? "" : message(doc));
  return std::move(*doc);
}

TEST(Xml, FirstChildTextOnlyWhenItIsText) {
  const auto doc = parse_ok(
      "<r><a>  8 \n</a><b><!--c-->8</b><c><d/>8</c><e/><f>  </f><g>1<![CDATA[2]]>3<x/>4</g><h><![CDATA[ 9 ]]></h></r>");
  const xml::Node r = doc.root();
  EXPECT_EQ(xml::text(xml::child(r, "a")), "8");
  EXPECT_FALSE(xml::text(xml::child(r, "b")));  // starts with a comment
  EXPECT_FALSE(xml::text(xml::child(r, "c")));  // starts with an element
  EXPECT_FALSE(xml::text(xml::child(r, "e")));  // empty
  EXPECT_EQ(xml::text(xml::child(r, "f")), "");  // whitespace-only text is text
  EXPECT_EQ(xml::text(xml::child(r, "g")), "123");
  EXPECT_EQ(xml::text(xml::child(r, "h")), "9");
}

TEST(Xml, ProcessingInstructionIsAFirstChildToo) {
  const auto doc = parse_ok("<r><a><?pi x?>8</a></r>");
  EXPECT_FALSE(xml::text(xml::child(doc.root(), "a")));
}

TEST(Xml, NamesMatchByLocalName) {
  const auto doc = parse_ok(R"(<ns:r xmlns:ns="urn:x"><ns:Step q:Number="3" xmlns:q="urn:q"/></ns:r>)");
  EXPECT_EQ(xml::local_name(doc.root()), "r");
  const xml::Node step = xml::child(doc.root(), "Step");
  ASSERT_TRUE(step);
  EXPECT_EQ(xml::attribute(step, "Number"), "3");
  EXPECT_FALSE(xml::attribute(step, "Missing"));
}

TEST(Xml, AttributesAreNotTrimmed) {
  const auto doc = parse_ok(R"(<r id=" 7"/>)");
  EXPECT_EQ(xml::attribute(doc.root(), "id"), " 7");
}

TEST(Xml, FindElementIsDocumentOrderAtAnyDepth) {
  const auto doc = parse_ok("<r><x><y><Device n='1'/></y></x><Device n='2'/></r>");
  const xml::Node device = xml::find_element(doc.node(), "Device");
  ASSERT_TRUE(device);
  EXPECT_EQ(xml::attribute(device, "n"), "1");
  std::vector<std::string> names;
  xml::for_each_element(doc.node(), [&](xml::Node n) { names.emplace_back(n.name()); });
  EXPECT_EQ(names, (std::vector<std::string>{"r", "x", "y", "Device", "Device"}));
}

TEST(Xml, DoctypeRules) {
  EXPECT_TRUE(xml::parse("<!DOCTYPE r><r/>"));
  EXPECT_TRUE(xml::parse("<!DOCTYPE r SYSTEM \"r[1].dtd\"><r/>"));
  EXPECT_TRUE(xml::parse("<!DOCTYPE r []><r/>"));
  EXPECT_TRUE(xml::parse("<!DOCTYPE r [ <!-- nothing --> ]><r/>"));
  const auto declared = xml::parse("<!DOCTYPE r [<!ELEMENT r ANY>]><r/>");
  ASSERT_FALSE(declared);
  EXPECT_NE(message(declared).find("document type definition"), std::string::npos);
}

TEST(Xml, BillionLaughsIsRejectedWithoutExpansion) {
  std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 1; i < 10; ++i) {
    doc += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) doc += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
    doc += "\">";
  }
  doc += "]><lolz>&lol9;</lolz>";
  const auto result = xml::parse(doc);
  ASSERT_FALSE(result);
  EXPECT_NE(message(result).find("document type definition"), std::string::npos);
}

TEST(Xml, EntityReferences) {
  const auto doc = parse_ok("<r a='&lt;&#65;'>&amp;&gt;&quot;&apos;&#x42;<![CDATA[&x;]]><!-- &y; --></r>");
  EXPECT_EQ(xml::attribute(doc.root(), "a"), "<A");
  EXPECT_EQ(xml::text(doc.root()), "&>\"'B&x;");
  const auto unknown = xml::parse("<r>&undefined;</r>");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(message(unknown), "unknown entity reference at 1:4");
}

TEST(Xml, MalformedDocuments) {
  for (const char* bad : {"", "   ", "<r>", "<r></s>", "<r/><r/>", "text<r/>", "<r a='1' a='2'/>", "<r><</r>",
                          "<r/><?xml version='1.0'?>", "<r/>tail"}) {
    const auto result = xml::parse(bad);
    EXPECT_FALSE(result) << bad;
    if (!result) {
      EXPECT_FALSE(message(result).empty());
    }
  }
  const auto unclosed = xml::parse("<r>\n<a>\n</r>");
  ASSERT_FALSE(unclosed);
  EXPECT_NE(message(unclosed).find(" at 3:"), std::string::npos) << message(unclosed);
}

TEST(Xml, DeepNestingDoesNotExhaustTheStack) {
  std::string doc;
  for (int i = 0; i < 200000; ++i) doc += "<a>";
  for (int i = 0; i < 200000; ++i) doc += "</a>";
  auto result = xml::parse(doc);
  ASSERT_TRUE(result);
  EXPECT_FALSE(xml::find_element(result->node(), "b"));
}

// Duplicate attributes are found in time linear in the number of
// attributes: an element with 200000 of them (a 2 MB side file) used to take
// minutes. The first attribute that has a later namesake is the one named.
TEST(Xml, DuplicateAttributesAmongManyAreFoundQuickly) {
  std::string many = "<r><e";
  for (int i = 0; i < 200000; ++i) many += " a" + std::to_string(i) + "=''";
  const auto distinct = xml::parse(many + "/></r>");
  ASSERT_TRUE(distinct) << message(distinct);

  const auto repeated = xml::parse(many + " a199999='' a7=''/></r>");
  ASSERT_FALSE(repeated);
  EXPECT_EQ(message(repeated), "duplicate attribute \"a7\"");

  const auto order = xml::parse("<r><e x='' y='' y='' x=''/><f z='' z=''/></r>");
  ASSERT_FALSE(order);
  EXPECT_EQ(message(order), "duplicate attribute \"x\"");
  const auto prefixed = xml::parse("<r xmlns:p='urn:p' xmlns:q='urn:q'><e p:n='' q:n=''/></r>");
  EXPECT_TRUE(prefixed) << message(prefixed);  // the full names differ
}

}  // namespace
