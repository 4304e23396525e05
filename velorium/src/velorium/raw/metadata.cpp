#include "velorium/raw/metadata.hpp"

#include <utility>

#include "velorium/log.hpp"
#include "velorium/raw/fileio.hpp"

namespace velorium::raw::metadata {
namespace {

// The operating system's own text for an I/O failure.
std::string system_message(const Error& error) {
  if (const auto* io = error.as_io()) return io->code.message();
  return error.display();
}

}  // namespace

std::optional<std::string> read_optional_xml(const std::filesystem::path& path) {
  auto text = read_text_file(path);
  if (text) return std::move(*text);
  if (is_not_found(text.error())) return std::nullopt;
  VELORIUM_LOG(log::Level::Warn, log::kMetadataTarget, display_path(path), ": read failed: ",
               system_message(text.error()));
  return std::nullopt;
}

std::optional<xml::Document> parse_xml_logged(const std::filesystem::path& path, std::string_view text) {
  auto document = xml::parse(text);
  if (document) return std::move(*document);
  VELORIUM_LOG(log::Level::Warn, log::kMetadataTarget, display_path(path), ": XML parse failed: ",
               document.error().as_parse()->message);
  return std::nullopt;
}

std::optional<std::string> child_text(xml::Node node, std::string_view name) {
  const xml::Node found = xml::child(node, name);
  if (!found) return std::nullopt;
  return xml::text(found);
}

std::optional<DeviceInfo> parse_devices_xml(const std::filesystem::path& path) {
  const auto text = read_optional_xml(path);
  if (!text) return std::nullopt;
  const auto document = parse_xml_logged(path, *text);
  if (!document) return std::nullopt;
  const xml::Node device = xml::find_element(document->node(), "Device");
  if (!device) return std::nullopt;
  auto name = child_text(device, "Name");
  auto model = child_text(device, "ModelNumber");
  if (!name || !model || name->empty() || model->empty()) return std::nullopt;
  return DeviceInfo{std::move(*name), std::move(*model)};
}

std::optional<std::string> parse_acquired_time(const std::filesystem::path& path) {
  const auto text = read_optional_xml(path);
  if (!text) return std::nullopt;
  const auto document = parse_xml_logged(path, *text);
  if (!document) return std::nullopt;
  auto time = child_text(document->root(), "AcquiredTime");
  if (!time || time->empty()) return std::nullopt;
  return time;
}

}  // namespace velorium::raw::metadata
