#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "velorium/raw/defaultmasscal.hpp"

namespace {

using velorium::raw::calibration::CalibrationSource;
using velorium::raw::calibration::PolynomialTerm;
using velorium::raw::defaultmasscal::DefaultCalibration;
using velorium::raw::defaultmasscal::parse_str;

std::string values_xml(std::initializer_list<std::string_view> values) {
  std::string out = "<Values>";
  int number = 1;
  for (const auto v : values) out += "<Value Number=\"" + std::to_string(number++) + "\">" + std::string(v) + "</Value>";
  return out + "</Values>";
}

std::string step(std::string_view formula, std::string_view flags, std::string_view count, std::string_view values) {
  return "<Step><CalibrationFormula>" + std::string(formula) + "</CalibrationFormula><ValueUseFlags>" +
         std::string(flags) + "</ValueUseFlags><NumberOfCoefficients>" + std::string(count) +
         "</NumberOfCoefficients>" + std::string(values) + "</Step>";
}

const std::string kTraditional = step("Traditional", "3", "2", values_xml({"0.5", "1.25"}));
const std::string kPolynomial = step("Polynomial", "5", "8", values_xml({"10", "20", "1", "2", "0", "0", "0", "0"}));

std::string entry(std::string_view id_attribute, std::string_view steps) {
  return "<DefaultCalibration " + std::string(id_attribute) + ">" + std::string(steps) + "</DefaultCalibration>";
}
std::string entry(int id) { return entry("DefaultCalibrationID=\"" + std::to_string(id) + "\"", kTraditional + kPolynomial); }

std::string doc(std::string_view body) { return "<CalibrationTable>" + std::string(body) + "</CalibrationTable>"; }

// The display text of the error, or "<ok>".
std::string error_of(std::string_view text) {
  auto result = parse_str(text);
  return result ? std::string("<ok>") : result.error().display();
}
std::string steps_error(std::string_view steps) { return error_of(doc(entry("DefaultCalibrationID=\"3\"", steps))); }

constexpr std::string_view kPrefix = "parse error: DefaultMassCal.xml: ";

TEST(DefaultMassCalParse, EntriesAtAnyDepthInDocumentOrder) {
  const std::string text = "<a:Root xmlns:a=\"urn:a\"><x><y>" + entry(4) + "</y></x>" + entry(-2) +
                           "<a:DefaultCalibration a:DefaultCalibrationID=\"+9\">" + kPolynomial + kTraditional +
                           "</a:DefaultCalibration></a:Root>";
  auto entries = parse_str(text);
  ASSERT_TRUE(entries) << entries.error().display();
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_EQ((*entries)[0].id, 4);
  EXPECT_EQ((*entries)[1].id, -2);
  EXPECT_EQ((*entries)[2].id, 9);
  for (const DefaultCalibration& e : *entries) {
    EXPECT_EQ(e.traditional, (std::array<double, 2>{0.5, 1.25}));
    EXPECT_EQ(e.polynomial_values, (std::array<double, 8>{10, 20, 1, 2, 0, 0, 0, 0}));
    EXPECT_EQ(e.value_use_flags, 5u);  // the Polynomial step's, not the Traditional step's 3
  }
}

TEST(DefaultMassCalParse, ByteOrderMarksTrimmingAndQuoting) {
  EXPECT_EQ(error_of("\xEF\xBB\xBF\xEF\xBB\xBF" + doc(entry(1))), "<ok>");
  // Element text is trimmed, CDATA included; attributes are not trimmed.
  const std::string padded = step("\n Polynomial ", " +5 ", "\n 8 \n", values_xml({"10", "<![CDATA[ 20 ]]>", " 1e0 ", "2", "0", "0", "0", "-0"}));
  EXPECT_EQ(error_of(doc(entry("DefaultCalibrationID=\"1\"", kTraditional + padded))), "<ok>");
  EXPECT_EQ(error_of(doc(entry("DefaultCalibrationID=\" 7\"", kTraditional + kPolynomial))),
            std::string(kPrefix) + "DefaultCalibrationID \" 7\" is not a number");
  EXPECT_EQ(error_of(doc(entry("", kTraditional + kPolynomial))),
            std::string(kPrefix) + "DefaultCalibrationID \"\" is not a number");
  EXPECT_EQ(error_of(doc(entry("DefaultCalibrationID=\"2147483648\"", kTraditional + kPolynomial))),
            std::string(kPrefix) + "DefaultCalibrationID \"2147483648\" is not a number");
  EXPECT_EQ(steps_error(kTraditional + step("Polynomial", "5", "8", values_xml({"1,5"}))),
            std::string(kPrefix) + "Value \"1,5\" is not a number");
  EXPECT_EQ(steps_error(kTraditional + step("Polynomial", "5", "8", values_xml({"a&quot;b\\c&#9;"}))),
            std::string(kPrefix) + "Value \"a\\\"b\\\\c\" is not a number");  // trimmed, then quoted
}

TEST(DefaultMassCalParse, StepMessagesInOrder) {
  const auto msg = [](std::string_view m) { return std::string(kPrefix) + std::string(m); };
  EXPECT_EQ(steps_error("<Step><ValueUseFlags>x</ValueUseFlags></Step>"), msg("<Step> has no <CalibrationFormula>"));
  EXPECT_EQ(steps_error("<Step><CalibrationFormula>Traditional</CalibrationFormula></Step>"),
            msg("<Step> has no <ValueUseFlags>"));
  EXPECT_EQ(steps_error("<Step><CalibrationFormula>Traditional</CalibrationFormula>"
                        "<ValueUseFlags><!--c-->0</ValueUseFlags></Step>"),
            msg("<Step> has no <ValueUseFlags>"));
  EXPECT_EQ(steps_error(step("Traditional", "-1", "x", "")), msg("ValueUseFlags \"-1\" is not a number"));
  EXPECT_EQ(steps_error(step("Traditional", "4294967296", "2", "")), msg("ValueUseFlags \"4294967296\" is not a number"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "", "")), msg("<Step> has no <NumberOfCoefficients>"));  // empty: no text
  EXPECT_EQ(steps_error(step("Traditional", "0", " ", "")), msg("NumberOfCoefficients \"\" is not a number"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "-2", "")), msg("NumberOfCoefficients \"-2\" is not a number"));
  EXPECT_EQ(steps_error(step("Polynomial", "0", "2", "")), msg("Polynomial step has no <Values>"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "2", "<Values><Value>1</Value></Values>")),
            msg("Value Number \"\" is not a number"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "2", "<Values><Value Number=\"0\">1</Value></Values>")),
            msg("Traditional Value Number 0 out of range"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "2", "<Values><Value Number=\"3\">x</Value></Values>")),
            msg("Traditional Value Number 3 out of range"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "2", "<Values><Value Number=\"1\"/></Values>")),
            msg("Value \"\" is not a number"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "2", values_xml({"1"}))), msg("Traditional Value 2 missing"));
  // A count that no content backs allocates nothing; the first gap decides.
  EXPECT_EQ(steps_error(step("Polynomial", "0", "18446744073709551615", values_xml({"1", "2"}))),
            msg("Polynomial Value 3 missing"));
  EXPECT_EQ(steps_error(step("Polynomial", "0", "18446744073709551616", "")),
            msg("NumberOfCoefficients \"18446744073709551616\" is not a number"));
  // The first failing step decides, before any lookup.
  EXPECT_EQ(steps_error(kTraditional + step("Linear", "0", "1", "")), msg("Linear step has no <Values>"));
}

TEST(DefaultMassCalParse, ValuesBySlot) {
  const std::string values =
      "<Values><Value Number=\"2\">7</Value><Other Number=\"9\"/><Value Number=\"1\">0.5</Value>"
      "<Value Number=\"2\">nan</Value><x:Value xmlns:x=\"urn:x\" Number=\"2\">-Infinity</x:Value></Values>";
  auto entries = parse_str(doc(entry("DefaultCalibrationID=\"1\"", step("Traditional", "0", "2", values) + kPolynomial)));
  ASSERT_TRUE(entries) << entries.error().display();
  EXPECT_EQ((*entries)[0].traditional[0], 0.5);
  EXPECT_EQ((*entries)[0].traditional[1], -INFINITY);  // the last Value with Number 2 wins

  auto nan = parse_str(doc(entry("DefaultCalibrationID=\"1\"",
                                 step("Traditional", "0", "2", values_xml({"1", "NaN"})) + kPolynomial)));
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan((*nan)[0].traditional[1]));
  const auto tof = (*nan)[0].to_tof();
  ASSERT_FALSE(tof);
  EXPECT_EQ(tof.error().display(), "parse error: invalid Traditional calibration coefficients A=1, T0=NaN");
}

TEST(DefaultMassCalParse, EntryMessagesInOrder) {
  const auto msg = [](std::string_view m) { return std::string(kPrefix) + std::string(m); };
  EXPECT_EQ(error_of(doc(entry(3) + "<x>" + entry(3) + "</x>")), msg("duplicate DefaultCalibrationID 3"));
  const std::string lower = step("traditional", "0", "2", values_xml({"1", "2"}));
  EXPECT_EQ(steps_error(lower + kPolynomial), msg("calibration 3 has no Traditional step"));
  EXPECT_EQ(steps_error(kTraditional), msg("calibration 3 has no Polynomial step"));
  EXPECT_EQ(steps_error(kTraditional + kPolynomial + kTraditional), msg("calibration 3 has several Traditional steps"));
  EXPECT_EQ(steps_error(kPolynomial + kTraditional + kPolynomial), msg("calibration 3 has several Polynomial steps"));
  EXPECT_EQ(steps_error(step("Traditional", "0", "3", values_xml({"1", "2", "3"})) + kPolynomial),
            msg("calibration 3 Traditional step has 3 values, expected 2"));
  EXPECT_EQ(steps_error(kTraditional + step("Polynomial", "0", "0", "<Values/>")),
            msg("calibration 3 Polynomial step has 0 values, expected 8"));
  EXPECT_EQ(steps_error(kTraditional + lower + kPolynomial), msg("calibration 3 has unsupported traditional step"));
  // Steps that are not direct children of the entry do not count.
  EXPECT_EQ(steps_error(kTraditional + "<g>" + kPolynomial + "</g>"), msg("calibration 3 has no Polynomial step"));
  // An error in a later entry discards the earlier ones.
  EXPECT_EQ(error_of(doc(entry(1) + entry("DefaultCalibrationID=\"2\"", kTraditional))),
            msg("calibration 2 has no Polynomial step"));
}

TEST(DefaultMassCalParse, DocumentFailures) {
  EXPECT_EQ(error_of("<Root><!-- only a comment --></Root>"), std::string(kPrefix) + "no DefaultCalibration entries");
  const std::string malformed = error_of("<Root><DefaultCalibration></Root>");
  EXPECT_TRUE(malformed.starts_with(kPrefix)) << malformed;
  EXPECT_GT(malformed.size(), kPrefix.size());
  EXPECT_TRUE(error_of("").starts_with(kPrefix));

  std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]>" + doc(entry("DefaultCalibrationID=\"1\"", kTraditional +
                                 step("Polynomial", "0", "8", values_xml({"&lol9;"}))));
  const std::string rejected = error_of(laughs);
  EXPECT_TRUE(rejected.starts_with(std::string(kPrefix) + "a document type definition")) << rejected;
}

TEST(DefaultMassCalToTof, BuildsTheDefaultCalibration) {
  auto entries = parse_str(doc(entry(1)));
  ASSERT_TRUE(entries);
  auto tof = (*entries)[0].to_tof();
  ASSERT_TRUE(tof) << tof.error().display();
  EXPECT_EQ(tof->source, CalibrationSource::DefaultMassCal);
  EXPECT_EQ(tof->a, 0.5);
  EXPECT_EQ(tof->t0, 1.25);
  EXPECT_EQ(tof->polynomial.range_low(), 10.0);
  EXPECT_EQ(tof->polynomial.range_high(), 20.0);
  const std::vector<PolynomialTerm> terms(tof->polynomial.terms().begin(), tof->polynomial.terms().end());
  EXPECT_EQ(terms, (std::vector<PolynomialTerm>{{0, 1.0}, {2, 2.0}}));

  DefaultCalibration inverted = (*entries)[0];
  inverted.polynomial_values[0] = 30;
  EXPECT_EQ(inverted.to_tof().error().display(), "parse error: Polynomial calibration range is inverted: 30 > 20");
}

TEST(DefaultMassCalParse, MutatedFilesNeverCrash) {
  const std::string base = doc(entry(1) + entry(2));
  const std::string alphabet = "<>/=\"&;![]-0123456789e.+ ValueStepNumber\xEF\xBB\xBF\xFF";
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % (text.size() + 1);
      switch (rng() % 3) {
        case 0: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
        case 1: if (at < text.size()) text.erase(at, 1 + rng() % 8); break;
        default: if (at < text.size()) text[at] = alphabet[rng() % alphabet.size()]; break;
      }
    }
    const auto result = parse_str(text);
    if (!result) {
      ASSERT_TRUE(result.error().is_parse());
      ASSERT_TRUE(result.error().display().starts_with(kPrefix)) << result.error().display();
    } else {
      ASSERT_FALSE(result->empty());
    }
  }
}

}  // namespace
