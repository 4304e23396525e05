// File access of the library: whole-file reads, the existence test and the
// checked block read. No handle outlives a call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"

namespace velorium::raw {

// Reads the whole file. Io on any failure (a directory gives EISDIR).
Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path);

// Reads the whole file as UTF-8 text; text that is not valid UTF-8 is the Io
// error IoErrc::invalid_utf8.
Result<std::string> read_text_file(const std::filesystem::path& path);

// True when the metadata of `path` can be obtained (following links).
bool exists(const std::filesystem::path& path) noexcept;

// True for the operating system's not-found kind of error.
bool is_not_found(const Error& error) noexcept;

// The path as text, with bytes that are not valid UTF-8 replaced by U+FFFD.
std::string display_path(const std::filesystem::path& path);

// Exactly `length` bytes of the file at `offset`. The request is checked
// against the file size before anything is allocated or read:
// "read_bytes: requested N bytes at offset O but PATH has only R bytes
// remaining". One open and one positioned read per call.
Result<ByteBuffer> read_bytes(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length);

// read_bytes into `scratch`: the same checks and errors; the bytes stay valid
// until the scratch buffer is used again.
Result<ByteSpan> read_bytes(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length,
                            ScratchBuffer& scratch);

// The size of the file in bytes (following links), or nothing when it
// cannot be queried.
std::optional<std::uint64_t> file_size(const std::filesystem::path& path) noexcept;

}  // namespace velorium::raw
