// SHA-1 digests: of the written file (its checksum) and of the scan index.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "velorium/error.hpp"

namespace velorium::output {

// An incremental SHA-1 (OpenSSL's libcrypto).
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void update(std::string_view bytes);
  void reset();
  // The digest of everything given since the last reset, as 40 lowercase
  // hexadecimal digits; the state is reset afterwards.
  std::string hex_digest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-1 of a whole file, read in chunks.
Result<std::string> sha1_of_file(const std::filesystem::path& path);

}  // namespace velorium::output
