#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "velorium/selection.hpp"

namespace {

using lumora::Polarity;
using velorium::LevelRange;
using velorium::ScanSelection;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

struct Scan {
  std::uint32_t level;
  double rt;
  std::optional<Polarity> polarity;
  std::uint32_t number;
};

struct MatchCase {
  const char* name;
  ScanSelection selection;
  Scan scan;
  bool expected;
};

const MatchCase kMatchCases[] = {
    {"everything", {}, {7, kNaN, std::nullopt, 0}, true},
    {"one level", ScanSelection::level(2), {2, 1.0, Polarity::Positive, 5}, true},
    {"another level", ScanSelection::level(2), {1, 1.0, Polarity::Positive, 5}, false},
    {"no level at all", {.ms_levels = std::vector<LevelRange>{}}, {1, 1.0, Polarity::Positive, 5}, false},
    {"any of several", {.ms_levels = std::vector<LevelRange>{{1, 1}, {3, kMax}}}, {9, 1.0, std::nullopt, 1}, true},
    {"between several", {.ms_levels = std::vector<LevelRange>{{1, 1}, {3, kMax}}}, {2, 1.0, std::nullopt, 1}, false},
    {"rt low end included", {.rt_range_sec = std::pair{1.5, 3.0}}, {1, 1.5, std::nullopt, 1}, true},
    {"rt high end included", {.rt_range_sec = std::pair{1.5, 3.0}}, {1, 3.0, std::nullopt, 1}, true},
    {"rt just above", {.rt_range_sec = std::pair{1.5, 3.0}}, {1, std::nextafter(3.0, 4.0), std::nullopt, 1}, false},
    {"rt just below", {.rt_range_sec = std::pair{1.5, 3.0}}, {1, std::nextafter(1.5, 0.0), std::nullopt, 1}, false},
    {"rt NaN scan", {.rt_range_sec = std::pair{-HUGE_VAL, HUGE_VAL}}, {1, kNaN, std::nullopt, 1}, false},
    {"polarity", {.polarity = Polarity::Negative}, {1, 0.0, Polarity::Negative, 1}, true},
    {"other polarity", {.polarity = Polarity::Negative}, {1, 0.0, Polarity::Positive, 1}, false},
    {"unknown polarity", {.polarity = Polarity::Positive}, {1, 0.0, std::nullopt, 1}, false},
    {"scan numbers inclusive", {.scan_numbers = std::pair{4u, 9u}}, {1, 0.0, std::nullopt, 9}, true},
    {"scan number outside", {.scan_numbers = std::pair{4u, 9u}}, {1, 0.0, std::nullopt, 3}, false},
    {"all criteria", {std::vector<LevelRange>{{2, 2}}, std::pair{0.0, 1.0}, Polarity::Positive, std::pair{1u, 1u}},
     {2, 0.5, Polarity::Positive, 1}, true},
};

TEST(ScanSelection, EveryCriterionMustHold) {
  for (const MatchCase& c : kMatchCases) {
    EXPECT_EQ(c.selection.matches(c.scan.level, c.scan.rt, c.scan.polarity, c.scan.number), c.expected) << c.name;
  }
}

TEST(ScanSelection, UnsetCriteriaTakeTheDefaults) {
  const ScanSelection defaults{.ms_levels = std::vector<LevelRange>{{2, kMax}}, .polarity = Polarity::Positive};
  const ScanSelection mine{.ms_levels = std::vector<LevelRange>{{1, 1}}, .rt_range_sec = std::pair{0.0, 5.0}};
  const ScanSelection merged = mine.or_else(defaults);
  EXPECT_EQ(merged.ms_levels, mine.ms_levels);
  EXPECT_EQ(merged.rt_range_sec, mine.rt_range_sec);
  EXPECT_EQ(merged.polarity, Polarity::Positive);
  EXPECT_EQ(ScanSelection{}.or_else(defaults), defaults);
}

TEST(ScanSelection, SelectsPositionsInScanOrder) {
  velorium::ScanIndex index;
  for (std::uint32_t i = 0; i < 6; ++i) {
    velorium::ScanRecord r;
    r.scan_id = 10 + i;
    r.ms_level = 1 + i % 2;
    r.retention_time_min = 0.5 * i;  // 30 s apart
    r.ion_polarity = static_cast<std::int32_t>(i % 3);  // 0 positive, 1 negative, 2 unknown
    index.records.push_back(r);
  }
  EXPECT_EQ(select_scans(index, {}), (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(select_scans(index, ScanSelection::level(2)), (std::vector<std::size_t>{1, 3, 5}));
  EXPECT_EQ(select_scans(index, {.rt_range_sec = std::pair{30.0, 90.0}}), (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(select_scans(index, {.polarity = Polarity::Positive}), (std::vector<std::size_t>{0, 3}));
  EXPECT_EQ(select_scans(index, {.scan_numbers = std::pair{12u, 13u}}), (std::vector<std::size_t>{2, 3}));
}

struct TextCase {
  const char* text;
  std::vector<LevelRange> levels;  // empty: an error
};

TEST(ScanSelectionText, MsLevels) {
  const TextCase cases[] = {
      {"2", {{2, 2}}},
      {"1,2", {{1, 1}, {2, 2}}},
      {"2-", {{2, kMax}}},
      {"1-3,5", {{1, 3}, {5, 5}}},
      {"0", {{0, 0}}},
      {"", {}}, {"-2", {}}, {"3-1", {}}, {"1,", {}}, {",1", {}}, {"a", {}}, {"1.5", {}}, {" 1", {}},
      {"4294967296", {}}, {"1--2", {}},
  };
  for (const TextCase& c : cases) {
    const auto parsed = velorium::parse_ms_levels(c.text);
    if (c.levels.empty()) {
      ASSERT_FALSE(parsed) << c.text;
      EXPECT_TRUE(parsed.error().is_parse());
    } else {
      ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().display();
      EXPECT_EQ(*parsed, c.levels) << c.text;
    }
  }
}

TEST(ScanSelectionText, RangesAndPolarity) {
  EXPECT_EQ(velorium::parse_rt_range("60,120.5").value(), (std::pair{60.0, 120.5}));
  EXPECT_EQ(velorium::parse_rt_range("-inf,inf").value(), (std::pair{-HUGE_VAL, HUGE_VAL}));
  EXPECT_EQ(velorium::parse_rt_range("3,3").value(), (std::pair{3.0, 3.0}));
  for (const char* bad : {"", "1", "1,2,3", "nan,2", "1,nan", "5,1", "a,b", "1, 2"}) {
    EXPECT_FALSE(velorium::parse_rt_range(bad)) << bad;
  }
  EXPECT_EQ(velorium::parse_rt_range("5,1").error().display(),
            "parse error: retention-time range is reversed: 5 is above 1");
  EXPECT_EQ(velorium::parse_scan_range("1,4294967295").value(), (std::pair{1u, kMax}));
  for (const char* bad : {"9,1", "1.0,2", "-1,2", "1"}) EXPECT_FALSE(velorium::parse_scan_range(bad)) << bad;
  EXPECT_EQ(velorium::parse_polarity("negative").value(), Polarity::Negative);
  EXPECT_FALSE(velorium::parse_polarity("Positive"));
}

TEST(ScanSelectionText, ValidateNamesTheCriterion) {
  EXPECT_TRUE(ScanSelection{}.validate());
  const std::pair<ScanSelection, std::string> cases[] = {
      {{.ms_levels = std::vector<LevelRange>{{3, 2}}}, "MS level range"},
      {{.rt_range_sec = std::pair{kNaN, 1.0}}, "NaN"},
      {{.rt_range_sec = std::pair{2.0, 1.0}}, "reversed"},
      {{.scan_numbers = std::pair{2u, 1u}}, "scan-number range"},
  };
  for (const auto& [selection, fragment] : cases) {
    const auto checked = selection.validate();
    ASSERT_FALSE(checked) << fragment;
    EXPECT_NE(checked.error().display().find(fragment), std::string::npos) << checked.error().display();
  }
}

}  // namespace
