#include "velorium/raw/defaultmasscal.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "velorium/raw/xml.hpp"
#include "velorium/text.hpp"

namespace velorium::raw::defaultmasscal {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Every message of this file reaches the caller with the file's name in
// front of it.
std::unexpected<Error> err(std::string_view message) { return parse_error(text::cat("DefaultMassCal.xml: ", message)); }

std::unexpected<Error> not_a_number(std::string_view what, std::string_view text) {
  return err(text::cat(what, " ", text::quote(text), " is not a number"));
}

// The text of the first child element named `name`; an error when the child
// is absent or has no text.
Result<std::string> child_text(xml::Node node, std::string_view name) {
  if (auto text = xml::text(xml::child(node, name))) return std::move(*text);
  return err(text::cat("<", xml::local_name(node), "> has no <", name, ">"));
}

Result<std::uint64_t> parse_num(std::string_view text, std::string_view what) {
  if (const auto value = text::parse_u64(text)) return *value;
  return not_a_number(what, text);
}

Result<Step> parse_step(xml::Node step) {
  VELORIUM_TRY(std::string formula, child_text(step, "CalibrationFormula"));
  VELORIUM_TRY(const std::string flags_text, child_text(step, "ValueUseFlags"));
  const auto flags = text::parse_u32(flags_text);
  if (!flags) return not_a_number("ValueUseFlags", flags_text);
  VELORIUM_TRY(const std::string count_text, child_text(step, "NumberOfCoefficients"));
  VELORIUM_TRY(const std::uint64_t count, parse_num(count_text, "NumberOfCoefficients"));
  const xml::Node values = xml::child(step, "Values");
  if (!values) return err(text::cat(formula, " step has no <Values>"));

  // The count comes from the file: slots are allocated only for positions
  // that the <Value> elements can fill, plus one. When the count is larger
  // than that, some position up to that one is necessarily left empty, so
  // the first empty slot is still found and nothing is allocated for a
  // count that no file content backs.
  std::size_t value_elements = 0;
  for (xml::Node v = values.first_child(); v; v = v.next_sibling()) {
    if (v.type() == pugi::node_element && xml::local_name(v) == "Value") ++value_elements;
  }
  const auto tracked =
      static_cast<std::size_t>(std::min<std::uint64_t>(count, static_cast<std::uint64_t>(value_elements) + 1));
  std::vector<std::optional<double>> slots(tracked);

  for (xml::Node v = values.first_child(); v; v = v.next_sibling()) {
    if (v.type() != pugi::node_element || xml::local_name(v) != "Value") continue;
    VELORIUM_TRY(const std::uint64_t number, parse_num(xml::attribute(v, "Number").value_or(""), "Value Number"));
    if (number == 0 || number > count) return err(text::cat(formula, " Value Number ", number, " out of range"));
    const std::string value_text = xml::text(v).value_or(std::string());
    const auto value = text::parse_f64(value_text);
    if (!value) return not_a_number("Value", value_text);
    if (number <= tracked) slots[static_cast<std::size_t>(number - 1)] = *value;
  }

  std::vector<double> numbers;
  numbers.reserve(tracked);
  for (std::size_t i = 0; i < tracked; ++i) {
    if (!slots[i]) return err(text::cat(formula, " Value ", i + 1, " missing"));
    numbers.push_back(*slots[i]);
  }
  return Step{std::move(formula), std::move(numbers), *flags};
}

// The one step of an entry with this formula, holding `expected` values.
Result<const Step*> find_step(const std::vector<Step>& steps, std::int32_t id, std::string_view formula,
                              std::size_t expected) {
  const auto is_formula = [&](const Step& s) { return s.formula == formula; };
  const auto found = std::find_if(steps.begin(), steps.end(), is_formula);
  if (found == steps.end()) return err(text::cat("calibration ", id, " has no ", formula, " step"));
  if (std::find_if(found + 1, steps.end(), is_formula) != steps.end()) {
    return err(text::cat("calibration ", id, " has several ", formula, " steps"));
  }
  if (found->values.size() != expected) {
    return err(text::cat("calibration ", id, " ", formula, " step has ", found->values.size(), " values, expected ",
                         expected));
  }
  return &*found;
}

// `seen`: the identifiers of the entries before this one.
Result<DefaultCalibration> parse_entry(xml::Node entry, std::unordered_set<std::int32_t>& seen) {
  const std::string_view id_text = xml::attribute(entry, "DefaultCalibrationID").value_or("");
  const auto id = text::parse_i32(id_text);
  if (!id) return not_a_number("DefaultCalibrationID", id_text);
  if (!seen.insert(*id).second) return err(text::cat("duplicate DefaultCalibrationID ", *id));

  std::vector<Step> steps;
  for (xml::Node n = entry.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element || xml::local_name(n) != "Step") continue;
    VELORIUM_TRY(Step step, parse_step(n));
    steps.push_back(std::move(step));
  }
  VELORIUM_TRY(const Step* traditional, find_step(steps, *id, "Traditional", 2));
  VELORIUM_TRY(const Step* polynomial, find_step(steps, *id, "Polynomial", 8));
  for (const Step& s : steps) {
    if (s.formula != "Traditional" && s.formula != "Polynomial") {
      return err(text::cat("calibration ", *id, " has unsupported ", s.formula, " step"));
    }
  }

  DefaultCalibration out;
  out.id = *id;
  std::copy_n(traditional->values.begin(), out.traditional.size(), out.traditional.begin());
  std::copy_n(polynomial->values.begin(), out.polynomial_values.size(), out.polynomial_values.begin());
  out.value_use_flags = polynomial->value_use_flags;
  return out;
}

}  // namespace

Result<calibration::TofCalibration> DefaultCalibration::to_tof() const {
  std::array<double, 10> coefficients{};
  coefficients[0] = traditional[0];
  coefficients[1] = traditional[1];
  std::copy(polynomial_values.begin(), polynomial_values.end(), coefficients.begin() + 2);
  return calibration::TofCalibration::from_coefficients(coefficients, value_use_flags,
                                                        calibration::CalibrationSource::DefaultMassCal);
}

Result<std::vector<DefaultCalibration>> parse_str(std::string_view text) {
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  auto document = xml::parse(text);
  if (!document) return err(document.error().as_parse()->message);

  std::vector<xml::Node> entries;
  xml::for_each_element(document->node(), [&](xml::Node n) {
    if (xml::local_name(n) == "DefaultCalibration") entries.push_back(n);
  });

  std::vector<DefaultCalibration> out;
  out.reserve(entries.size());
  std::unordered_set<std::int32_t> seen;
  for (const xml::Node entry : entries) {
    VELORIUM_TRY(DefaultCalibration calibration, parse_entry(entry, seen));
    out.push_back(std::move(calibration));
  }
  if (out.empty()) return err("no DefaultCalibration entries");
  return out;
}

}  // namespace velorium::raw::defaultmasscal
