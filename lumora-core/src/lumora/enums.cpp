#include "lumora/enums.hpp"

#include <array>
#include <cstddef>

namespace lumora {
namespace {

template <std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& names, std::uint8_t code) noexcept {
  return code < N ? names[code] : std::string_view{};
}

constexpr std::array<std::string_view, 2> kPolarity{"negative", "positive"};
constexpr std::array<std::string_view, 2> kScanMode{"centroid", "profile"};
constexpr std::array<std::string_view, 6> kAnalyzer{"itms", "tqms", "sqms", "tofms", "ftms", "sector"};
constexpr std::array<std::string_view, 11> kActivation{"hcd", "mpid", "etd", "cid",  "ecd",  "irmpd",
                                                       "pd",  "pqd",  "uvpd", "sid", "ethcd"};
constexpr std::array<std::string_view, 2> kMobility{"inverse_reduced_k0", "drift_time_ms"};

}  // namespace

std::string_view name(Polarity value) noexcept { return lookup(kPolarity, static_cast<std::uint8_t>(value)); }
std::string_view name(ScanMode value) noexcept { return lookup(kScanMode, static_cast<std::uint8_t>(value)); }
std::string_view name(Analyzer value) noexcept { return lookup(kAnalyzer, static_cast<std::uint8_t>(value)); }
std::string_view name(Activation value) noexcept {
  return lookup(kActivation, static_cast<std::uint8_t>(value));
}
std::string_view name(MobilityArrayKind value) noexcept {
  return lookup(kMobility, static_cast<std::uint8_t>(value));
}

}  // namespace lumora
