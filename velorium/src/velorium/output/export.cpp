// The table of formats, the options they take, and the export of one file.
#include "velorium/output/export.hpp"

#include <sys/stat.h>

#include <cctype>
#include <limits>

#include "velorium/output/gzip.hpp"
#include "velorium/output/pipeline.hpp"
#include "velorium/output/publish.hpp"

namespace velorium::output {
namespace {

ScanSelection every_scan() { return {}; }

ScanSelection msn_scans() {
  ScanSelection selection;
  selection.ms_levels = std::vector<LevelRange>{{2, std::numeric_limits<std::uint32_t>::max()}};
  return selection;
}

constexpr Format kFormats[] = {
    {"mzml", ".mzML", "indexed mzML 1.1", true, false, every_scan, write_mzml},
    {"mgf", ".mgf", "MGF (MS2 and higher unless --ms-level says otherwise)", false, true, msn_scans, write_mgf},
};

bool same_letters(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool ends_with_gz(const std::filesystem::path& path) {
  const std::string name = path.filename().native();
  return name.size() > 3 && same_letters(std::string_view(name).substr(name.size() - 3), ".gz");
}

}  // namespace

std::span<const Format> formats() noexcept { return kFormats; }

const Format* find_format(std::string_view name) noexcept {
  for (const Format& f : kFormats) {
    if (same_letters(f.name, name)) return &f;
  }
  return nullptr;
}

Result<Numpress> parse_numpress(std::string_view text) {
  Numpress out;
  if (text == "none") return out;
  std::string_view rest = text;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view name = rest.substr(0, comma);
    const bool intensity = name == "slof" || name == "pic";
    if (name == "linear" && !out.linear) {
      out.linear = true;
    } else if (intensity && out.intensity == IntensityEncoding::Float32) {
      out.intensity = name == "slof" ? IntensityEncoding::NumpressSlof : IntensityEncoding::NumpressPic;
    } else {
      return parse_error("MS-Numpress must be none or a list of linear and one of slof or pic (linear,slof), not " +
                         text::lossy_utf8(text));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return out;
}

Result<void> configure(const Format& format, const Settings& settings, ExportOptions& options) {
  VELORIUM_CHECK(settings.selection.validate());
  process::Options processing = settings.processing;
  if (settings.decoding.pick != peaks::PickMode::None) processing.pick_peaks = settings.decoding.params;
  VELORIUM_CHECK(process::validate(processing));
  if (settings.mz_precision && *settings.mz_precision != 32 && *settings.mz_precision != 64) {
    return parse_error(text::cat("the m/z precision must be 32 or 64 bits, not ", *settings.mz_precision));
  }
  if (!format.binary_arrays) {
    if (settings.mz_precision) {
      return parse_error(text::cat("the m/z precision is a choice of binary arrays, which ", format.name,
                                   " does not have"));
    }
    if (settings.compact) {
      return parse_error(text::cat("compact encodings are binary arrays, which ", format.name, " does not have"));
    }
    if (settings.numpress) {
      return parse_error(text::cat("MS-Numpress encodes binary arrays, which ", format.name, " does not have"));
    }
  }
  constexpr Numpress kCompact{true, IntensityEncoding::NumpressSlof};
  const Numpress numpress = settings.numpress.value_or(settings.compact ? kCompact : Numpress{});
  if (settings.compact && numpress != kCompact) {
    return parse_error("compact encodings are MS-Numpress linear and slof: they contradict the MS-Numpress asked for");
  }
  if (numpress.linear && settings.mz_precision) {
    return parse_error("MS-Numpress linear stores the m/z values: it contradicts an m/z precision");
  }
  if (settings.mgf_title) {
    if (!format.titles) return parse_error(text::cat("a title template is for mgf, not ", format.name));
    VELORIUM_CHECK(validate_title(*settings.mgf_title));
    options.mgf_title = *settings.mgf_title;
  }
  if (settings.compact && !settings.compression) {
    return parse_error("compact encodings are compressed with zlib: they contradict no compression");
  }

  options.prefer = settings.decoding.block_preference();
  options.selection = settings.selection;
  if (settings.compact) processing.trim_zeros = true;
  options.chain = process::chain_of(processing);
  options.encoding = ArrayEncoding{};
  options.encoding.zlib = settings.compression;
  if (settings.mz_precision == 32u) options.encoding.mz = MzEncoding::Float32;
  if (numpress.linear) options.encoding.mz = MzEncoding::NumpressLinear;
  options.encoding.intensity = numpress.intensity;
  return {};
}

std::vector<std::size_t> selected_scans(const Reader& reader, const Format& format, const ExportOptions& options) {
  return select_scans(reader.scan_index(), options.selection.or_else(format.default_selection()));
}

ExportResult export_file(const Reader& reader, const std::filesystem::path& destination, const Format& format,
                         const ExportOptions& options, bool replace) {
  const std::string shown = text::lossy_utf8(destination.native());
  const auto failed = [&](ExportError error) {
    if (error.kind == ExportError::Kind::Output) error.message = shown + ": " + error.message;
    return std::unexpected(std::move(error));
  };
  struct stat info {};
  if (::stat(destination.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      return failed({ExportError::Kind::Output, Error::io(std::make_error_code(std::errc::is_a_directory)).display(),
                     std::make_error_code(std::errc::is_a_directory)});
    }
    if (!replace) {
      return std::unexpected(ExportError{ExportError::Kind::Exists, shown + ": exists (not replaced)",
                                         std::make_error_code(std::errc::file_exists)});
    }
  }
  auto file = AtomicFile::create(destination);
  if (!file) return failed(output_failure(file.error()).error());
  ExportResult result;
  if (ends_with_gz(destination)) {
    GzipSink gzip(*file);
    result = format.write(reader, gzip, options);
  } else {
    result = format.write(reader, *file, options);
  }
  if (!result) return failed(std::move(result).error());
  if (auto committed = file->commit(replace); !committed) {
    const auto* io = committed.error().as_io();
    if (io != nullptr && io->code == std::errc::file_exists) {
      return std::unexpected(ExportError{ExportError::Kind::Exists, shown + ": exists (not replaced)", io->code});
    }
    return failed(output_failure(committed.error()).error());
  }
  return result;
}

}  // namespace velorium::output
