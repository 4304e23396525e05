#include "velorium/raw/msmasscal.hpp"

#include <cstddef>
#include <cstdint>

#include "velorium/text.hpp"

namespace velorium::raw::msmasscal {
namespace {

constexpr std::size_t kHeaderSize = 72;
constexpr std::size_t kRecordSize = 84;
constexpr std::uint32_t kMaxCoefficients = 10;

}  // namespace

Result<std::vector<MassCalRecord>> parse_bytes(ByteSpan bytes) {
  if (bytes.size() < kHeaderSize) {
    return parse_error(text::cat("MSMassCal.bin is ", bytes.size(), " bytes, shorter than its 72-byte header"));
  }
  const std::size_t payload = bytes.size() - kHeaderSize;
  if (payload % kRecordSize != 0) {
    return parse_error(
        text::cat("MSMassCal.bin payload of ", payload, " bytes is not a multiple of the 84-byte record"));
  }
  const std::size_t count = payload / kRecordSize;
  std::vector<MassCalRecord> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kHeaderSize + i * kRecordSize;
    const auto used = load_le<std::uint32_t>(bytes, at);
    if (used > kMaxCoefficients) {
      return parse_error(text::cat("MSMassCal.bin record ", i, " claims ", used, " coefficients; at most 10 fit"));
    }
    MassCalRecord record;
    record.coefficients.reserve(used);
    for (std::uint32_t k = 0; k < used; ++k) record.coefficients.push_back(load_le<double>(bytes, at + 4 + 8 * k));
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace velorium::raw::msmasscal
