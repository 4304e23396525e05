#include "velorium/raw/instrument.hpp"

#include <array>
#include <string_view>

#include "velorium/raw/msscan.hpp"
#include "velorium/text.hpp"

namespace velorium::raw {
namespace {

using lumora::Analyzer;
using lumora::CvTerm;

struct InstrumentRow {
  std::string_view model;
  std::string_view accession;
  std::string_view name;
};

constexpr std::array<InstrumentRow, 4> kInstruments{{
    {"G6410A", "MS:1003526", "6410A Triple Quadrupole LC/MS"},
    {"G6530A", "MS:1002786", "6530A Q-TOF LC/MS"},
    {"G6530B", "MS:1002787", "6530B Q-TOF LC/MS"},
    {"G6550A", "MS:1002784", "6550A iFunnel Q-TOF LC/MS"},
}};

constexpr CvTerm kGenericModel = CvTerm::constant("MS:1000490", "Agilent instrument model");
constexpr CvTerm kQtof = CvTerm::constant("MS:1000461", "Agilent Q-TOF");
constexpr CvTerm kQqq = CvTerm::constant("MS:1000461", "Agilent QQQ");

}  // namespace

CvTerm resolve_instrument(const std::optional<DeviceInfo>& device, const ScanIndex& scans) noexcept {
  if (device) {
    if (device->model.size() == 6) {
      for (const auto& row : kInstruments) {
        if (text::ascii_iequals(device->model, row.model)) return CvTerm::constant(row.accession, row.name);
      }
    }
    return kGenericModel;
  }
  return msscan::is_tof_stride(scans.stride) ? kQtof : kQqq;
}

Analyzer resolve_analyzer(const std::optional<DeviceInfo>& device, const ScanIndex& scans) noexcept {
  if (device) {
    if (text::ascii_iequals(device->name, "qtof")) return Analyzer::Tofms;
    if (text::ascii_iequals(device->name, "tandemquadrupole")) return Analyzer::Tqms;
  }
  return msscan::is_tof_stride(scans.stride) ? Analyzer::Tofms : Analyzer::Tqms;
}

}  // namespace velorium::raw
