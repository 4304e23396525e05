// The velorium command: `velorium info RUN.d` describes an acquisition,
// `velorium convert INPUT.d... -o OUTPUT` writes mzML or MGF.
//
// Exit status: 0 when everything asked for was done; 1 when an input failed
// (one line on stderr per failed input); 2 for a usage error; 130 when
// interrupted by a signal (nothing is left behind).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "velorium/output/export.hpp"
#include "velorium/output/xml.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/reader.hpp"
#include "velorium/text.hpp"

namespace fs = std::filesystem;
using velorium::Reader;
using velorium::output::ExportError;
using velorium::output::ExportOptions;
using velorium::output::Format;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::atomic<bool> interrupted{false};

extern "C" void on_signal(int) {
  interrupted.store(true, std::memory_order_relaxed);
  // A second signal ends the program at once.
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
}

// --- stderr: error lines and the progress bar share it ------------------------

class Console {
 public:
  explicit Console(bool bar) : bar_(bar) {}

  void line(const std::string& text) {
    std::lock_guard lock(mutex_);
    clear_bar();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }

  // The bar: `done` of `total` scans, `finished` of `inputs` inputs.
  void progress(std::size_t done, std::size_t total, std::size_t finished, std::size_t inputs) {
    if (!bar_) return;
    std::lock_guard lock(mutex_);
    const double share = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    const int width = 30;
    const int filled = std::clamp(static_cast<int>(share * width), 0, width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '-');
    std::fprintf(stderr, "\r[%s] %3d%%  %zu/%zu scans  %zu/%zu inputs", bar.c_str(),
                 static_cast<int>(share * 100.0), done, total, finished, inputs);
    std::fflush(stderr);
    shown_ = true;
  }

  void finish() {
    std::lock_guard lock(mutex_);
    clear_bar();
  }

 private:
  void clear_bar() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

  bool bar_;
  bool shown_ = false;
  std::mutex mutex_;
};

// --- info ----------------------------------------------------------------------

std::string json_string(std::string_view text) {
  std::string out = "\"";
  const std::string valid = velorium::text::lossy_utf8(text);
  for (const char c : valid) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  std::string out;
  velorium::output::append_number(out, value);
  return out;
}

struct Summary {
  std::map<std::uint32_t, std::size_t> ms_levels;
  std::size_t positive = 0, negative = 0, unknown_polarity = 0;
  std::size_t profile_blocks = 0, centroid_blocks = 0;
  std::optional<double> rt_min, rt_max;  // seconds, finite values only
};

Summary summarise(const Reader& reader) {
  Summary s;
  for (const auto& scan : reader.scan_index().records) {
    ++s.ms_levels[scan.ms_level];
    const auto polarity = scan.polarity();
    if (!polarity) ++s.unknown_polarity;
    else if (*polarity == lumora::Polarity::Positive) ++s.positive;
    else ++s.negative;
    if (scan.profile_params) ++s.profile_blocks;
    if (scan.centroid_params) ++s.centroid_blocks;
    const double rt = scan.retention_time_sec();
    if (std::isfinite(rt)) {
      s.rt_min = s.rt_min ? std::min(*s.rt_min, rt) : rt;
      s.rt_max = s.rt_max ? std::max(*s.rt_max, rt) : rt;
    }
  }
  return s;
}

std::string_view analyzer_text(lumora::Analyzer analyzer) {
  return analyzer == lumora::Analyzer::Tqms ? "triple quadrupole" : "time-of-flight";
}

void print_info_text(const std::string& shown, const Reader& reader) {
  const Summary s = summarise(reader);
  const auto meta = reader.run_metadata();
  std::printf("%s\n", shown.c_str());
  std::printf("  run label       %s\n", meta.source_file_name.c_str());
  std::printf("  instrument      %s (%s)\n", std::string(meta.instrument.name.view()).c_str(),
              std::string(meta.instrument.accession.view()).c_str());
  if (reader.device()) {
    std::printf("  device          %s, model %s\n", reader.device()->name.c_str(), reader.device()->model.c_str());
  }
  std::printf("  analyzer        %s\n", std::string(analyzer_text(reader.analyzer())).c_str());
  if (meta.start_timestamp) std::printf("  acquired        %s\n", meta.start_timestamp->c_str());
  std::string levels;
  for (const auto& [level, count] : s.ms_levels) {
    if (!levels.empty()) levels += ", ";
    levels += "MS" + std::to_string(level) + " " + std::to_string(count);
  }
  std::printf("  scans           %zu%s%s%s\n", reader.scan_count(), levels.empty() ? "" : " (", levels.c_str(),
              levels.empty() ? "" : ")");
  if (s.rt_min) {
    std::string range;
    velorium::output::append_number(range, *s.rt_min);
    range += " to ";
    velorium::output::append_number(range, *s.rt_max);
    std::printf("  retention time  %s s\n", range.c_str());
  }
  std::printf("  polarity        positive %zu, negative %zu, unknown %zu\n", s.positive, s.negative,
              s.unknown_polarity);
  std::printf("  blocks          profile %zu, centroid %zu\n", s.profile_blocks, s.centroid_blocks);
}

void print_info_json(const std::string& shown, const Reader& reader) {
  const Summary s = summarise(reader);
  const auto meta = reader.run_metadata();
  std::string out = "{";
  out += "\"path\": " + json_string(shown);
  out += ", \"run_label\": " + json_string(meta.source_file_name);
  out += ", \"instrument\": {\"accession\": " + json_string(meta.instrument.accession.view()) +
         ", \"name\": " + json_string(meta.instrument.name.view()) + "}";
  if (reader.device()) {
    out += ", \"device\": {\"name\": " + json_string(reader.device()->name) +
           ", \"model\": " + json_string(reader.device()->model) + "}";
  } else {
    out += ", \"device\": null";
  }
  out += ", \"analyzer\": " + json_string(lumora::name(reader.analyzer()));
  out += ", \"start_timestamp\": " + (meta.start_timestamp ? json_string(*meta.start_timestamp) : "null");
  out += ", \"scan_count\": " + std::to_string(reader.scan_count());
  out += ", \"ms_levels\": {";
  bool first = true;
  for (const auto& [level, count] : s.ms_levels) {
    if (!first) out += ", ";
    first = false;
    out += "\"" + std::to_string(level) + "\": " + std::to_string(count);
  }
  out += "}";
  if (s.rt_min) {
    out += ", \"retention_time_sec\": {\"min\": " + json_number(*s.rt_min) + ", \"max\": " + json_number(*s.rt_max) +
           "}";
  } else {
    out += ", \"retention_time_sec\": null";
  }
  out += ", \"polarity\": {\"positive\": " + std::to_string(s.positive) + ", \"negative\": " +
         std::to_string(s.negative) + ", \"unknown\": " + std::to_string(s.unknown_polarity) + "}";
  out += ", \"profile_blocks\": " + std::to_string(s.profile_blocks);
  out += ", \"centroid_blocks\": " + std::to_string(s.centroid_blocks);
  out += ", \"software\": {\"name\": " + json_string(meta.software_name) +
         ", \"version\": " + json_string(meta.software_version) + "}";
  out += "}\n";
  std::fputs(out.c_str(), stdout);
}

int run_info(const std::string& input, bool json) {
  auto reader = Reader::open(input);
  if (!reader) {
    std::fprintf(stderr, "velorium: %s: %s\n", input.c_str(), reader.error().display().c_str());
    return kExitFailed;
  }
  if (json) {
    print_info_json(input, *reader);
  } else {
    print_info_text(input, *reader);
  }
  return std::fflush(stdout) == 0 ? 0 : kExitFailed;
}

// --- convert -------------------------------------------------------------------

struct ConvertArgs {
  std::vector<std::string> inputs;
  std::string output;
  std::string format = "mzml";
  bool centroid = false;
  bool pick_peaks = false;
  std::optional<double> min_snr;
  std::optional<double> min_intensity;
  bool no_compression = false;
  std::string ms_level;
  std::string rt_range;
  std::string polarity;
  std::string scan_range;
  bool trim_zeros = false;
  std::vector<std::string> thresholds;
  std::optional<unsigned> mz_precision;
  std::optional<std::string> numpress;
  bool compact = false;
  std::optional<std::string> mgf_title;
  unsigned jobs = 1;
  bool force = false;
  bool skip_bad_scans = false;
};

// A number that is the whole of `text`.
template <class T>
std::optional<T> whole_number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// The options of convert that say what to write, checked against the
// format: the selection, the processing, the encodings and the title. A
// usage error's message otherwise.
velorium::Result<ExportOptions> export_options(const ConvertArgs& args, const Format& format) {
  velorium::output::Settings settings;
  if (!args.ms_level.empty()) {
    VELORIUM_TRY(settings.selection.ms_levels, velorium::parse_ms_levels(args.ms_level));
  }
  if (!args.rt_range.empty()) {
    VELORIUM_TRY(settings.selection.rt_range_sec, velorium::parse_rt_range(args.rt_range));
  }
  if (!args.polarity.empty()) {
    VELORIUM_TRY(settings.selection.polarity, velorium::parse_polarity(args.polarity));
  }
  if (!args.scan_range.empty()) {
    VELORIUM_TRY(settings.selection.scan_numbers, velorium::parse_scan_range(args.scan_range));
  }
  settings.processing.trim_zeros = args.trim_zeros;
  for (const std::string& threshold : args.thresholds) {
    const std::string_view text = threshold;
    if (text.starts_with("absolute=") && !settings.processing.min_intensity) {
      settings.processing.min_intensity = whole_number<double>(text.substr(9));
      if (settings.processing.min_intensity) continue;
    } else if (text.starts_with("top=") && !settings.processing.top) {
      settings.processing.top = whole_number<std::size_t>(text.substr(4));
      if (settings.processing.top) continue;
    } else if (text.starts_with("absolute=") || text.starts_with("top=")) {
      return velorium::parse_error("--threshold: each kind may be given once, not again as " + threshold);
    }
    return velorium::parse_error("--threshold must be absolute=N or top=N, not " + velorium::text::lossy_utf8(text));
  }
  settings.compression = !args.no_compression;
  settings.mz_precision = args.mz_precision;
  if (args.numpress) {
    VELORIUM_TRY(settings.numpress, velorium::output::parse_numpress(*args.numpress));
  }
  settings.compact = args.compact;
  settings.mgf_title = args.mgf_title;
  using velorium::peaks::PickMode;
  velorium::peaks::DecodeOptions& decoding = settings.decoding;
  decoding.prefer = args.centroid ? velorium::BlockPreference::Centroid : velorium::BlockPreference::Profile;
  decoding.pick = args.pick_peaks ? PickMode::All : args.centroid ? PickMode::Missing : PickMode::None;
  if ((args.min_snr || args.min_intensity) && decoding.pick == PickMode::None) {
    return velorium::parse_error("--min-snr and --min-intensity are parameters of the peak picking: they need "
                                 "--centroid or --pick-peaks");
  }
  decoding.params.min_snr = args.min_snr.value_or(velorium::peaks::kDefaultMinSnr);
  decoding.params.min_intensity = args.min_intensity.value_or(0.0);
  ExportOptions options;
  options.skip_bad_scans = args.skip_bad_scans;
  VELORIUM_CHECK(velorium::output::configure(format, settings, options));
  return options;
}

// NAME of NAME.d (any letter case), or the run label as it is.
std::string output_stem(const std::string& input) {
  std::string label = velorium::run_label(input);
  if (label.size() > 2 && (label.ends_with(".d") || label.ends_with(".D"))) label.resize(label.size() - 2);
  return label;
}

int run_convert(const ConvertArgs& args, const Format& format, ExportOptions base) {
  const std::string extension(format.extension);
  const std::size_t n = args.inputs.size();

  // Where each input goes.
  std::vector<fs::path> destinations(n);
  std::error_code ec;
  const bool output_is_folder = n > 1 || fs::is_directory(args.output, ec);
  if (n > 1) {
    if (fs::exists(args.output, ec) && !fs::is_directory(args.output, ec)) {
      std::fprintf(stderr, "velorium: %s: several inputs need an output folder, and this is not one\n",
                   args.output.c_str());
      return kExitUsage;
    }
    if (!fs::is_directory(args.output, ec) && !fs::create_directory(args.output, ec)) {
      std::fprintf(stderr, "velorium: %s: cannot create the output folder: I/O error: %s\n", args.output.c_str(),
                   ec.message().c_str());
      return kExitFailed;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    destinations[i] = output_is_folder ? fs::path(args.output) / (output_stem(args.inputs[i]) + extension)
                                       : fs::path(args.output);
  }

  Console console(::isatty(STDERR_FILENO) == 1);
  std::vector<std::optional<std::string>> failures(n);
  // Two inputs that would write the same file: the later ones fail.
  std::set<fs::path> taken;
  for (std::size_t i = 0; i < n; ++i) {
    if (!taken.insert(destinations[i].lexically_normal()).second) {
      failures[i] = velorium::text::lossy_utf8(destinations[i].native()) + ": also the output of an earlier input";
    }
  }

  base.cancel = &interrupted;
  const unsigned jobs = static_cast<unsigned>(std::clamp<std::size_t>(args.jobs, 1, n));
  base.threads = std::max(1u, velorium::default_threads() / jobs);

  std::atomic<std::size_t> scans_done{0}, scans_total{0}, inputs_finished{0};
  std::atomic<std::size_t> next_input{0};
  std::vector<std::string> notes(n);
  std::vector<bool> cancelled(n, false);

  auto convert_one = [&](std::size_t i) {
    if (failures[i]) return;
    if (interrupted.load()) {
      cancelled[i] = true;
      return;
    }
    auto reader = Reader::open(args.inputs[i]);
    if (!reader) {
      failures[i] = reader.error().display();
      return;
    }
    ExportOptions options = base;
    const std::size_t selected = velorium::output::selected_scans(*reader, format, options).size();
    scans_total += selected;
    std::size_t reported = 0;
    options.progress = [&](std::size_t done, std::size_t) {
      scans_done += done - reported;
      reported = done;
    };
    auto result = velorium::output::export_file(*reader, destinations[i], format, options, args.force);
    scans_done += selected - reported;  // a failed input counts as done for the bar
    if (!result) {
      if (result.error().kind == ExportError::Kind::Cancelled) {
        cancelled[i] = true;
      } else if (result.error().kind == ExportError::Kind::Exists) {
        failures[i] = result.error().message + "; pass --force to replace it";
      } else {
        failures[i] = result.error().message;
      }
      return;
    }
    if (result->skipped != 0) {
      notes[i] = "skipped " + std::to_string(result->skipped) + " of " + std::to_string(selected) +
                 " scans that failed to decode (first: " + result->first_skipped + ")";
    }
  };

  std::mutex done_mutex;
  std::condition_variable done_signal;
  bool all_done = false;
  std::jthread painter;
  if (::isatty(STDERR_FILENO) == 1) {
    painter = std::jthread([&] {
      std::unique_lock lock(done_mutex);
      while (!done_signal.wait_for(lock, std::chrono::milliseconds(200), [&] { return all_done; })) {
        console.progress(scans_done.load(), scans_total.load(), inputs_finished.load(), n);
      }
    });
  }
  {
    std::vector<std::jthread> workers;
    auto work = [&] {
      for (std::size_t i = next_input++; i < n; i = next_input++) {
        convert_one(i);
        ++inputs_finished;
        if (failures[i]) console.line("velorium: " + args.inputs[i] + ": " + *failures[i]);
        if (!notes[i].empty()) console.line("velorium: " + args.inputs[i] + ": " + notes[i]);
      }
    };
    for (unsigned t = 1; t < jobs; ++t) workers.emplace_back(work);
    work();
  }
  {
    std::lock_guard lock(done_mutex);
    all_done = true;
  }
  done_signal.notify_all();
  if (painter.joinable()) painter.join();
  console.finish();

  if (interrupted.load()) {
    std::fprintf(stderr, "velorium: interrupted; no partial output was left\n");
    return kExitInterrupted;
  }
  const bool failed = std::any_of(failures.begin(), failures.end(), [](const auto& f) { return f.has_value(); });
  return failed ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velorium: read Agilent Q-TOF and triple-quadrupole acquisitions (.d folders) and convert them"};
  app.name("velorium");
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("velorium ") + std::string(velorium::kSoftwareVersion));

  std::string info_input;
  bool info_json = false;
  CLI::App* info = app.add_subcommand("info", "Describe an acquisition from its scan index (nothing is decoded)");
  info->add_option("RUN", info_input, "The acquisition folder (NAME.d)")->required();
  info->add_flag("--json", info_json, "Print one JSON object instead of text");

  ConvertArgs convert_args;
  CLI::App* convert = app.add_subcommand(
      "convert", "Write mzML or MGF: one input to the file OUTPUT, several to NAME.mzML / NAME.mgf in the folder OUTPUT");
  convert->add_option("INPUT", convert_args.inputs, "Acquisition folders (NAME.d)")->required();
  convert->add_option("-o,--output", convert_args.output, "Output file (one input) or folder (several)")->required();
  std::string format_names;
  for (const Format& f : velorium::output::formats()) {
    format_names += format_names.empty() ? "" : ", ";
    format_names += std::string(f.name) + ": " + std::string(f.description);
  }
  convert->add_option("--format", convert_args.format, "The output format: " + format_names)
      ->check([](const std::string& name) {
        return velorium::output::find_format(name) != nullptr ? std::string() : "unknown format " + name;
      });
  convert->add_flag("--centroid", convert_args.centroid,
                    "Every spectrum centroided: the instrument's centroids where a scan has them, the peaks picked "
                    "from the profile elsewhere");
  convert->add_flag("--pick-peaks", convert_args.pick_peaks,
                    "Every spectrum centroided by picking the peaks of its profile (the instrument's centroids only "
                    "where a scan has no profile)");
  convert->add_option("--min-snr", convert_args.min_snr,
                      "Peak picking: the least apex height kept, in multiples of the spectrum's noise level (default " +
                          velorium::text::display_f64(velorium::peaks::kDefaultMinSnr) + ")");
  convert->add_option("--min-intensity", convert_args.min_intensity,
                      "Peak picking: the least apex height kept (default 0)");
  convert->add_flag("--no-compression", convert_args.no_compression, "Binary arrays without zlib compression");
  convert->add_option("--ms-level", convert_args.ms_level,
                      "Only the spectra of these MS levels: 2, 1,2, 2- (2 and above) or 1-3");
  convert->add_option("--rt-range", convert_args.rt_range,
                      "Only the spectra whose retention time lies in LOW,HIGH (seconds, both included)");
  convert->add_option("--polarity", convert_args.polarity, "Only the spectra of this polarity: positive or negative");
  convert->add_option("--scan-range", convert_args.scan_range,
                      "Only the spectra whose scan number lies in FIRST,LAST (both included)");
  convert->add_flag("--trim-zeros", convert_args.trim_zeros,
                    "Remove zero-intensity points except those next to a non-zero point (every peak keeps its flanks)");
  convert->add_option("--threshold", convert_args.thresholds,
                      "absolute=N: remove points of intensity below N; top=N: keep the N most intense points of "
                      "each spectrum (both may be given)")
      ->allow_extra_args(false);  // one value per --threshold: what follows is an input
  convert->add_option("--mz-precision", convert_args.mz_precision, "Bits of the m/z values in mzML: 64 (exact) or 32");
  convert->add_option("--numpress", convert_args.numpress,
                      "MS-Numpress encodings of the mzML arrays: linear (m/z) and slof or pic (intensities), "
                      "as linear,slof or linear,pic; or none");
  convert->add_flag("--compact", convert_args.compact,
                    "Zero trimming and MS-Numpress linear and slof arrays with zlib (mzML): --trim-zeros "
                    "--numpress linear,slof in one word");
  convert->add_option("--mgf-title", convert_args.mgf_title,
                      "The TITLE of each MGF block, from the fields {run}, {folder}, {scan}, {charge}, {native_id}, "
                      "{index} and {rt} (default: " + std::string(velorium::output::kDefaultMgfTitle) + ")");
  convert->add_option("--jobs", convert_args.jobs, "Inputs converted at once")->check(CLI::Range(1u, 1024u));
  convert->add_flag("--force", convert_args.force, "Replace existing output files");
  convert->add_flag("--skip-bad-scans", convert_args.skip_bad_scans,
                    "Leave out scans that fail to decode (reported) instead of failing the input");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "velorium: error: %s (--help lists the options)\n", e.what());
    return kExitUsage;
  }

  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  if (info->parsed()) return run_info(info_input, info_json);
  // Everything that does not fit is a usage error before anything is read
  // or written.
  const Format& format = *velorium::output::find_format(convert_args.format);
  auto options = export_options(convert_args, format);
  if (!options) {
    const auto* parse = options.error().as_parse();
    std::fprintf(stderr, "velorium: error: %s\n", parse != nullptr ? parse->message.c_str() : options.error().display().c_str());
    return kExitUsage;
  }
  return run_convert(convert_args, format, std::move(*options));
}
