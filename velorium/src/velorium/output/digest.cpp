#include "velorium/output/digest.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>
#include <vector>

#include <openssl/evp.h>

namespace velorium::output {

struct Sha1::State {
  EVP_MD_CTX* context = nullptr;
};

Sha1::Sha1() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) throw std::bad_alloc();
  reset();
}

Sha1::~Sha1() { EVP_MD_CTX_free(state_->context); }

void Sha1::reset() {
  if (EVP_DigestInit_ex(state_->context, EVP_sha1(), nullptr) != 1) throw std::bad_alloc();
}

void Sha1::update(std::string_view bytes) {
  if (!bytes.empty() && EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) throw std::bad_alloc();
}

std::string Sha1::hex_digest() {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &size) != 1) throw std::bad_alloc();
  reset();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

Result<std::string> sha1_of_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_error(std::error_code(errno, std::generic_category()));
  Sha1 sha1;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return io_error(std::error_code(error, std::generic_category()));
    }
    if (got == 0) break;
    sha1.update(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
  ::close(fd);
  return sha1.hex_digest();
}

}  // namespace velorium::output
