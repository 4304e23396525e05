#include "velorium/selection.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "velorium/text.hpp"

namespace velorium {
namespace {

std::string quoted(std::string_view text) { return "\"" + text::lossy_utf8(text) + "\""; }

// The whole of `text` as a number of type T, or nothing.
template <class T>
std::optional<T> number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// "LOW,HIGH" split at its single comma.
std::optional<std::pair<std::string_view, std::string_view>> two_parts(std::string_view text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos || text.find(',', comma + 1) != std::string_view::npos) return std::nullopt;
  return std::pair{text.substr(0, comma), text.substr(comma + 1)};
}

}  // namespace

bool ScanSelection::matches(std::uint32_t ms_level, double retention_time_sec,
                            std::optional<lumora::Polarity> scan_polarity, std::uint32_t scan_number) const noexcept {
  if (ms_levels) {
    bool any = false;
    for (const LevelRange& range : *ms_levels) any = any || range.contains(ms_level);
    if (!any) return false;
  }
  if (rt_range_sec && !(rt_range_sec->first <= retention_time_sec && retention_time_sec <= rt_range_sec->second)) {
    return false;
  }
  if (polarity && scan_polarity != polarity) return false;
  if (scan_numbers && !(scan_numbers->first <= scan_number && scan_number <= scan_numbers->second)) return false;
  return true;
}

ScanSelection ScanSelection::or_else(const ScanSelection& defaults) const {
  ScanSelection out = *this;
  if (!out.ms_levels) out.ms_levels = defaults.ms_levels;
  if (!out.rt_range_sec) out.rt_range_sec = defaults.rt_range_sec;
  if (!out.polarity) out.polarity = defaults.polarity;
  if (!out.scan_numbers) out.scan_numbers = defaults.scan_numbers;
  return out;
}

Result<void> ScanSelection::validate() const {
  if (ms_levels) {
    for (const LevelRange& range : *ms_levels) {
      if (range.low > range.high) {
        return parse_error(text::cat("MS level range is reversed: ", range.low, " is above ", range.high));
      }
    }
  }
  if (rt_range_sec) {
    const auto [low, high] = *rt_range_sec;
    if (std::isnan(low) || std::isnan(high)) return parse_error("retention-time range has a NaN end");
    if (low > high) {
      return parse_error(text::cat("retention-time range is reversed: ", low, " is above ", high));
    }
  }
  if (scan_numbers && scan_numbers->first > scan_numbers->second) {
    return parse_error(
        text::cat("scan-number range is reversed: ", scan_numbers->first, " is above ", scan_numbers->second));
  }
  return {};
}

std::vector<std::size_t> select_scans(const ScanIndex& index, const ScanSelection& selection) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < index.records.size(); ++i) {
    if (selection.matches(index.records[i])) positions.push_back(i);
  }
  return positions;
}

Result<std::vector<LevelRange>> parse_ms_levels(std::string_view text) {
  std::vector<LevelRange> ranges;
  const auto bad = [&] {
    return parse_error("MS levels must be N, N-M, N- or a comma-separated list of these, not " + quoted(text));
  };
  std::string_view rest = text;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const std::size_t dash = item.find('-');
    LevelRange range;
    if (dash == std::string_view::npos) {
      const auto level = number<std::uint32_t>(item);
      if (!level) return bad();
      range = {*level, *level};
    } else {
      const auto low = number<std::uint32_t>(item.substr(0, dash));
      const std::string_view high_text = item.substr(dash + 1);
      const auto high = high_text.empty() ? std::optional(std::numeric_limits<std::uint32_t>::max())
                                          : number<std::uint32_t>(high_text);
      if (!low || !high) return bad();
      range = {*low, *high};
      if (range.low > range.high) {
        return parse_error(text::cat("MS level range ", quoted(item), " is reversed"));
      }
    }
    ranges.push_back(range);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return ranges;
}

Result<std::pair<double, double>> parse_rt_range(std::string_view text) {
  const auto parts = two_parts(text);
  const auto low = parts ? number<double>(parts->first) : std::nullopt;
  const auto high = parts ? number<double>(parts->second) : std::nullopt;
  if (!low || !high) {
    return parse_error("retention-time range must be LOW,HIGH in seconds, not " + quoted(text));
  }
  ScanSelection check;
  check.rt_range_sec = std::pair{*low, *high};
  VELORIUM_CHECK(check.validate());
  return *check.rt_range_sec;
}

Result<std::pair<std::uint32_t, std::uint32_t>> parse_scan_range(std::string_view text) {
  const auto parts = two_parts(text);
  const auto first = parts ? number<std::uint32_t>(parts->first) : std::nullopt;
  const auto last = parts ? number<std::uint32_t>(parts->second) : std::nullopt;
  if (!first || !last) {
    return parse_error("scan-number range must be FIRST,LAST (scan numbers), not " + quoted(text));
  }
  ScanSelection check;
  check.scan_numbers = std::pair{*first, *last};
  VELORIUM_CHECK(check.validate());
  return *check.scan_numbers;
}

Result<lumora::Polarity> parse_polarity(std::string_view text) {
  if (text == "positive") return lumora::Polarity::Positive;
  if (text == "negative") return lumora::Polarity::Negative;
  return parse_error("polarity must be positive or negative, not " + quoted(text));
}

}  // namespace velorium
