// Enumerations shared by every reader of the family. Each value is a small
// unsigned code in declaration order, with a fixed lowercase name string.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumora {

enum class Polarity : std::uint8_t { Negative, Positive };

enum class ScanMode : std::uint8_t { Centroid, Profile };

enum class Analyzer : std::uint8_t { Itms, Tqms, Sqms, Tofms, Ftms, Sector };

enum class Activation : std::uint8_t {
  Hcd, Mpid, Etd, Cid, Ecd, Irmpd, Pd, Pqd, Uvpd, Sid, Ethcd,
};

enum class MobilityArrayKind : std::uint8_t { InverseReducedK0, DriftTimeMs };

// Name strings as the Python layer shows them ("positive", "tofms", ...).
std::string_view name(Polarity value) noexcept;
std::string_view name(ScanMode value) noexcept;
std::string_view name(Analyzer value) noexcept;
std::string_view name(Activation value) noexcept;
std::string_view name(MobilityArrayKind value) noexcept;

}  // namespace lumora
