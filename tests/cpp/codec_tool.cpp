// The output codecs (SHA-1, MS-Numpress) as a process that tests in other
// languages drive through pipes, to compare them with other
// implementations. It answers requests on stdin until end of input.
//
// Request:  op (u8), fixed point (f64), payload size (u64), payload.
// Response: status (u8: 0 done, 1 Error), size (u64), then the result, or
//           the Error's display text.
// Integers and floats are little-endian.
//
//   op  payload                                  result
//   1   u32 k, k piece sizes (u64), the bytes    SHA-1 of the bytes fed in those pieces (and the
//                                                rest as one more), 20 bytes; then hex_digest() of
//                                                the bytes fed again whole, 40 characters
//   2   a file's path                            sha1_of_file, 40 characters
//   3   f64 values                               encode_linear with the fixed point
//   4   f32 values                               encode_slof with the fixed point
//   5   f32 values                               encode_pic
//   6   encoded bytes                            decode_linear, f64 values
//   7   encoded bytes                            decode_slof, f64 values
//   8   encoded bytes                            decode_pic, f64 values
//   9   f64 values                               optimal_linear_fixed_point, one f64
//   10  f32 values                               optimal_slof_fixed_point, one f64
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "velorium/output/numpress.hpp"
#include "velorium/output/sha1.hpp"

namespace {

namespace numpress = velorium::output::numpress;
using Bytes = std::vector<std::uint8_t>;

bool read_exact(void* to, std::size_t n) { return std::fread(to, 1, n, stdin) == n; }

template <class T>
T get(std::span<const std::uint8_t>& in) {
  T v{};
  if (in.size() >= sizeof(T)) {
    std::memcpy(&v, in.data(), sizeof(T));
    in = in.subspan(sizeof(T));
  }
  return v;
}

template <class T>
std::vector<T> values_of(std::span<const std::uint8_t> payload) {
  std::vector<T> v(payload.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), payload.data(), v.size() * sizeof(T));
  return v;
}

template <class T>
Bytes bytes_of(const std::vector<T>& values) {
  Bytes out(values.size() * sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

void respond(std::uint8_t status, std::span<const std::uint8_t> body) {
  const std::uint64_t size = body.size();
  std::fwrite(&status, 1, 1, stdout);
  std::fwrite(&size, sizeof size, 1, stdout);
  if (!body.empty()) std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
}

void respond_text(std::uint8_t status, const std::string& text) {
  respond(status, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

template <class T>
void respond_result(const velorium::Result<T>& result, const Bytes& done) {
  if (result) {
    respond(0, done);
  } else {
    respond_text(1, result.error().display());
  }
}

void sha1_pieces(std::span<const std::uint8_t> in) {
  const auto k = get<std::uint32_t>(in);
  std::vector<std::uint64_t> sizes(k);
  for (auto& s : sizes) s = get<std::uint64_t>(in);
  velorium::output::Sha1 sha1;
  std::span<const std::uint8_t> rest = in;
  for (const auto s : sizes) {
    const std::size_t n = s < rest.size() ? s : rest.size();
    sha1.update(rest.first(n));
    rest = rest.subspan(n);
  }
  sha1.update(rest);
  const auto digest = sha1.digest();
  sha1.update(in);
  const std::string hex = sha1.hex_digest();
  respond_text(0, std::string(digest.begin(), digest.end()) + hex);
}

void answer(std::uint8_t op, double fixed_point, std::span<const std::uint8_t> payload) {
  switch (op) {
    case 1:
      return sha1_pieces(payload);
    case 2: {
      const auto digest = velorium::output::sha1_of_file(std::string(payload.begin(), payload.end()));
      return digest ? respond_text(0, *digest) : respond_text(1, digest.error().display());
    }
    case 3: {
      Bytes out;
      const auto done = numpress::encode_linear(values_of<double>(payload), fixed_point, out);
      return respond_result(done, out);
    }
    case 4: {
      Bytes out;
      const auto done = numpress::encode_slof(values_of<float>(payload), fixed_point, out);
      return respond_result(done, out);
    }
    case 5: {
      Bytes out;
      const auto done = numpress::encode_pic(values_of<float>(payload), out);
      return respond_result(done, out);
    }
    case 6:
    case 7:
    case 8: {
      const auto decoded = op == 6   ? numpress::decode_linear(payload)
                           : op == 7 ? numpress::decode_slof(payload)
                                     : numpress::decode_pic(payload);
      return respond_result(decoded, decoded ? bytes_of(*decoded) : Bytes{});
    }
    case 9:
      return respond(0, bytes_of(std::vector{numpress::optimal_linear_fixed_point(values_of<double>(payload))}));
    case 10:
      return respond(0, bytes_of(std::vector{numpress::optimal_slof_fixed_point(values_of<float>(payload))}));
    default:
      return respond_text(1, "unknown operation " + std::to_string(op));
  }
}

}  // namespace

int main() {
  for (;;) {
    std::uint8_t op;
    double fixed_point;
    std::uint64_t size;
    if (!read_exact(&op, 1)) return 0;
    if (!read_exact(&fixed_point, sizeof fixed_point) || !read_exact(&size, sizeof size)) return 1;
    Bytes payload(size);
    if (!read_exact(payload.data(), payload.size())) return 1;
    answer(op, fixed_point, payload);
  }
}
