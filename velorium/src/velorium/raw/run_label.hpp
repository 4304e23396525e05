// The label of a run in log records and run metadata: the name of its
// acquisition folder.
#pragma once

#include <filesystem>
#include <string>

namespace velorium::raw {

// The last plain component of the folder path, as text with invalid UTF-8
// replaced; "bundle.d" when the path has none (empty, ".", a root, or a path
// ending in "..").
std::string run_label(const std::filesystem::path& root);

}  // namespace velorium::raw
