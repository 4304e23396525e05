#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "lumora/error.hpp"
#include "lumora/types.hpp"

namespace {

using lumora::RunMetadata;
using lumora::SpectrumRecord;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

SpectrumRecord with_arrays(std::vector<double> mz, std::vector<float> intensity) {
  return SpectrumRecord{}.with_peaks(std::move(mz), std::move(intensity));
}

TEST(EffectiveTic, SumOfNothingIsNegativeZero) {
  const SpectrumRecord record;
  const double tic = record.effective_tic();
  EXPECT_EQ(tic, 0.0);
  EXPECT_TRUE(std::signbit(tic));
}

TEST(EffectiveTic, ReportedValueWinsEvenWhenZeroOrNaN) {
  SpectrumRecord record = with_arrays({1, 2}, {3, 4});
  record.reported_total_ion_current = 0.0;
  EXPECT_EQ(record.effective_tic(), 0.0);
  EXPECT_FALSE(std::signbit(record.effective_tic()));
  record.reported_total_ion_current = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(record.effective_tic()));
  record.reported_total_ion_current = -5.0;
  EXPECT_EQ(record.effective_tic(), -5.0);
}

TEST(EffectiveTic, SumsWidenedValuesInOrderAndPropagatesNaN) {
  // 16777216 + 1 + 1 is exact in f64 but not in f32.
  EXPECT_EQ(with_arrays({1, 2, 3}, {16777216.0f, 1.0f, 1.0f}).effective_tic(), 16777218.0);
  EXPECT_TRUE(std::isnan(with_arrays({1, 2}, {1.0f, kNaN}).effective_tic()));
}

TEST(EffectiveBasePeak, TiesKeepTheEarliestIndex) {
  const auto peak = with_arrays({100, 200, 300, 400}, {5, 9, 9, 2}).effective_base_peak();
  ASSERT_TRUE(peak);
  EXPECT_EQ(peak->first, 200.0);
  EXPECT_EQ(peak->second, 9.0);
}

TEST(EffectiveBasePeak, NaNRules) {
  const auto first_nan = with_arrays({10, 20, 30}, {kNaN, 3, 4}).effective_base_peak();
  ASSERT_TRUE(first_nan);
  EXPECT_EQ(first_nan->first, 10.0);
  EXPECT_TRUE(std::isnan(first_nan->second));

  const auto later_nan = with_arrays({10, 20, 30}, {1, kNaN, 4}).effective_base_peak();
  ASSERT_TRUE(later_nan);
  EXPECT_EQ(later_nan->first, 30.0);
  EXPECT_EQ(later_nan->second, 4.0);
}

TEST(EffectiveBasePeak, ReportedPairOnlyWhenComplete) {
  SpectrumRecord record = with_arrays({10, 20}, {1, 2});
  record.reported_base_peak_mz = 555.0;
  auto peak = record.effective_base_peak();
  ASSERT_TRUE(peak);
  EXPECT_EQ(peak->first, 20.0);

  record.reported_base_peak_intensity = 7.5;
  peak = record.effective_base_peak();
  ASSERT_TRUE(peak);
  EXPECT_EQ(peak->first, 555.0);
  EXPECT_EQ(peak->second, 7.5);

  SpectrumRecord empty;
  empty.reported_base_peak_mz = 555.0;
  EXPECT_FALSE(empty.effective_base_peak());
  empty.reported_base_peak_intensity = 1.0;
  EXPECT_TRUE(empty.effective_base_peak());
}

TEST(EffectiveBasePeak, ShortMzArrayDoesNotReadPastIt) {
  const auto peak = with_arrays({1.0}, {1, 5}).effective_base_peak();
  ASSERT_TRUE(peak);
  EXPECT_TRUE(std::isnan(peak->first));
  EXPECT_EQ(peak->second, 5.0);
}

TEST(Builders, MoveArraysWithoutCopying) {
  std::vector<double> mz{1, 2, 3};
  const double* mz_data = mz.data();
  std::vector<float> intensity{4, 5, 6};
  const float* intensity_data = intensity.data();
  SpectrumRecord record = SpectrumRecord{}.with_peaks(std::move(mz), std::move(intensity));
  EXPECT_EQ(record.mz.data(), mz_data);
  EXPECT_EQ(record.intensity.data(), intensity_data);

  record = std::move(record).with_extra_map({{"b", "2"}});
  record = std::move(record).with_extra_map({{"a", "1"}});
  EXPECT_EQ(record.extra, (lumora::TextMap{{"a", "1"}}));
}

TEST(RunMetadata, MakeLeavesEverythingElseEmptyAndExtraIsOrdered) {
  const auto term = lumora::CvTerm::constant("MS:1", "one");
  RunMetadata meta = RunMetadata::make("run.d", term, term, term, "velorium", "1.0.0")
                         .with_extra_map({{"zeta", "1"}, {"alpha", "2"}});
  EXPECT_EQ(meta.source_file_name, "run.d");
  EXPECT_FALSE(meta.instrument_serial_number);
  EXPECT_FALSE(meta.acquisition_software_name);
  EXPECT_FALSE(meta.acquisition_software_version);
  EXPECT_FALSE(meta.start_timestamp);
  EXPECT_FALSE(meta.mobility_array_kind);
  EXPECT_TRUE(meta.analyzers.empty());
  ASSERT_EQ(meta.extra.size(), 2u);
  EXPECT_EQ(meta.extra.begin()->first, "alpha");
}

TEST(CvTerm, ConstantTextIsReferencedAndCopiesKeepReferring) {
  static constexpr std::string_view kAccession = "MS:1000235";
  const auto term = lumora::CvTerm::constant(kAccession, "total ion current chromatogram");
  const lumora::CvTerm copy = term;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_TRUE(copy.accession.is_constant());
  EXPECT_EQ(copy.accession.view().data(), kAccession.data());

  const lumora::CvTerm owned{lumora::Text::owned("MS:9"), lumora::Text::owned("nine")};
  const lumora::CvTerm owned_copy = owned;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(owned_copy.name.is_constant());
  EXPECT_NE(owned_copy.name.view().data(), owned.name.view().data());
  EXPECT_EQ(owned_copy, owned);
}

TEST(Enums, NameStrings) {
  EXPECT_EQ(lumora::name(lumora::Polarity::Negative), "negative");
  EXPECT_EQ(lumora::name(lumora::ScanMode::Profile), "profile");
  EXPECT_EQ(lumora::name(lumora::Analyzer::Tofms), "tofms");
  EXPECT_EQ(lumora::name(lumora::Analyzer::Sector), "sector");
  EXPECT_EQ(lumora::name(lumora::Activation::Ethcd), "ethcd");
  EXPECT_EQ(lumora::name(lumora::Activation::Mpid), "mpid");
  EXPECT_EQ(lumora::name(lumora::MobilityArrayKind::DriftTimeMs), "drift_time_ms");
  EXPECT_EQ(static_cast<int>(lumora::Analyzer::Tofms), 3);
}

TEST(CoreError, DisplayTexts) {
  EXPECT_EQ(lumora::Error::unsupported_format("x").display(), "unsupported or unrecognized format: x");
  EXPECT_EQ(lumora::Error::conformance("y").display(), "conformance violation: y");
  EXPECT_EQ(lumora::Error::io(std::make_error_code(std::errc::permission_denied)).display(),
            "I/O error: Permission denied");
}

}  // namespace
