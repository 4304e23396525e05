// MGF: one block per selected spectrum, its TITLE made from a template, the
// peaks as text, formatted on the worker threads.
#include <string_view>

#include "velorium/output/pipeline.hpp"
#include "velorium/output/xml.hpp"

namespace velorium::output {
namespace {

using lumora::SpectrumRecord;

enum class Field { Run, Folder, Scan, Charge, NativeId, Index, Rt };

struct Named {
  std::string_view name;
  Field field;
};
constexpr Named kFields[] = {{"run", Field::Run},         {"folder", Field::Folder},       {"scan", Field::Scan},
                             {"charge", Field::Charge},   {"native_id", Field::NativeId}, {"index", Field::Index},
                             {"rt", Field::Rt}};

// The pieces of a template: literal text, or a field.
struct Piece {
  std::string text;
  std::optional<Field> field;
};

Result<std::vector<Piece>> parse_title(std::string_view title) {
  std::vector<Piece> pieces;
  std::string literal;
  for (std::size_t i = 0; i < title.size(); ++i) {
    const char c = title[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return parse_error("the MGF title template holds a control character (a title is one line)");
    }
    if ((c == '{' || c == '}') && i + 1 < title.size() && title[i + 1] == c) {
      literal += c;
      ++i;
      continue;
    }
    if (c == '}') return parse_error("the MGF title template has a '}' without its '{' (write '}}' for a brace)");
    if (c != '{') {
      literal += c;
      continue;
    }
    const std::size_t end = title.find('}', i);
    if (end == std::string_view::npos) {
      return parse_error("the MGF title template has a '{' without its '}' (write '{{' for a brace)");
    }
    const std::string_view name = title.substr(i + 1, end - i - 1);
    const Named* found = nullptr;
    for (const Named& f : kFields) {
      if (f.name == name) found = &f;
    }
    if (found == nullptr) {
      return parse_error("the MGF title template names an unknown field {" + text::lossy_utf8(name) +
                         "}; the fields are {run}, {folder}, {scan}, {charge}, {native_id}, {index} and {rt}");
    }
    if (!literal.empty()) pieces.push_back({std::move(literal), std::nullopt});
    literal.clear();
    pieces.push_back({{}, found->field});
    i = end;
  }
  if (!literal.empty()) pieces.push_back({std::move(literal), std::nullopt});
  return pieces;
}

// Text from outside (folder names) on one line: valid UTF-8, control
// characters as spaces.
std::string one_line(std::string_view text) {
  std::string out = text::lossy_utf8(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

struct TitleContext {
  std::string run;     // the folder name without ".d"
  std::string folder;  // the folder name
};

void render_title(std::string& out, const std::vector<Piece>& pieces, const TitleContext& context,
                  const SpectrumRecord& s) {
  for (const Piece& piece : pieces) {
    if (!piece.field) {
      out += piece.text;
      continue;
    }
    switch (*piece.field) {
      case Field::Run: out += context.run; break;
      case Field::Folder: out += context.folder; break;
      case Field::Scan: append_number(out, std::uint64_t{s.scan_number}); break;
      case Field::Charge:
        if (s.precursor && s.precursor->charge) out += std::to_string(*s.precursor->charge);
        break;
      case Field::NativeId: out += one_line(s.native_id); break;
      case Field::Index: append_number(out, s.index); break;
      case Field::Rt: append_number(out, s.retention_time_sec); break;
    }
  }
}

struct PeakText {
  std::string text;
};

void mgf_block(std::string& out, const SpectrumRecord& s, const PeakText& peaks, const std::vector<Piece>& title,
               const TitleContext& context) {
  out += "BEGIN IONS\nTITLE=";
  render_title(out, title, context, s);
  out += '\n';
  if (s.precursor && s.precursor->target_mz) {
    out += "PEPMASS=";
    append_number(out, *s.precursor->target_mz);
    out += '\n';
  }
  if (s.precursor && s.precursor->charge && *s.precursor->charge != 0) {
    const std::int32_t charge = *s.precursor->charge;
    out += "CHARGE=";
    out += std::to_string(charge < 0 ? -static_cast<std::int64_t>(charge) : charge);
    out += charge < 0 ? "-\n" : "+\n";
  }
  out += "RTINSECONDS=";
  append_number(out, s.retention_time_sec);
  out += "\nSCANS=";
  append_number(out, std::uint64_t{s.scan_number});
  out += '\n';
  out += peaks.text;
  out += "END IONS\n\n";
}

}  // namespace

Result<void> validate_title(std::string_view title) {
  VELORIUM_TRY(auto pieces, parse_title(title));
  (void)pieces;
  return {};
}

ExportResult write_mgf(const Reader& reader, Sink& sink, const ExportOptions& options) {
  auto title = parse_title(options.mgf_title);
  if (!title) return std::unexpected(ExportError{ExportError::Kind::Output, title.error().display(), {}});
  TitleContext context;
  context.folder = one_line(reader.source_file_name());
  context.run = context.folder;
  if (context.run.size() > 2 && (context.run.ends_with(".d") || context.run.ends_with(".D"))) {
    context.run.resize(context.run.size() - 2);
  }
  OutputStream out(sink, false);
  ExportSummary summary;
  std::string text;
  auto prepare = [](const SpectrumRecord& s, PeakText& p) {
    p.text.clear();
    for (std::size_t i = 0; i < s.mz.size(); ++i) {
      append_number(p.text, s.mz[i]);
      p.text += ' ';
      append_number(p.text, s.intensity[i]);
      p.text += '\n';
    }
  };
  auto emit = [&](const SpectrumRecord& s, PeakText& p, std::uint64_t) -> std::expected<void, ExportError> {
    text.clear();
    mgf_block(text, s, p, *title, context);
    VELORIUM_WRITE(out, text);
    ++summary.spectra;
    return {};
  };
  if (auto done = run_pipeline<PeakText>(reader, selected_scans(reader, *find_format("mgf"), options), options, summary,
                                         prepare, emit);
      !done) {
    return std::unexpected(std::move(done).error());
  }
  if (auto flushed = out.flush(); !flushed) return output_failure(flushed.error());
  return summary;
}

}  // namespace velorium::output
