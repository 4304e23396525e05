// Instrument and run metadata from the optional XML side files: Devices.xml
// (instrument name and model) and Contents.xml (acquisition time). Nothing
// here fails its caller; problems are logged with the target
// velorium::raw::metadata.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velorium/device_info.hpp"
#include "velorium/raw/xml.hpp"

namespace velorium::raw::metadata {

using velorium::DeviceInfo;

std::optional<DeviceInfo> parse_devices_xml(const std::filesystem::path& path);
std::optional<std::string> parse_acquired_time(const std::filesystem::path& path);

// The whole file as UTF-8 text; nothing (and no log) when it is absent,
// nothing and a warning when it cannot be read.
std::optional<std::string> read_optional_xml(const std::filesystem::path& path);

// The parsed document, or nothing and a warning.
std::optional<xml::Document> parse_xml_logged(const std::filesystem::path& path, std::string_view text);

// Trimmed text of the first child element of `node` with this local name.
std::optional<std::string> child_text(xml::Node node, std::string_view name);

}  // namespace velorium::raw::metadata
