// make-demo-image SIZE SEED OUT: writes SIZE deterministic pseudo-random bytes, the same for the
// same seed on every machine, for the demo and the end-to-end runs.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// A whole decimal or 0x-prefixed hexadecimal number, nothing else.
std::optional<unsigned long long> number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  unsigned long long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: make-demo-image SIZE SEED OUT\n");
    return 2;
  }
  const std::optional<unsigned long long> size = number(argv[1]);
  if (!size || *size > (1ull << 32)) {
    std::fprintf(stderr, "make-demo-image: bad size %s\n", argv[1]);
    return 2;
  }
  const std::optional<unsigned long long> seed = number(argv[2]);
  if (!seed) {
    std::fprintf(stderr, "make-demo-image: bad seed %s\n", argv[2]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  if (!out) {
    std::fprintf(stderr, "make-demo-image: cannot write %s\n", argv[3]);
    return 1;
  }
  // splitmix64: small, fast and the same everywhere.
  std::uint64_t state = *seed;
  std::vector<unsigned char> buf;
  buf.reserve(65536);
  for (unsigned long long i = 0; i < *size; i += 8) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (int k = 0; k < 8 && i + k < *size; ++k)
      buf.push_back(static_cast<unsigned char>(z >> (8 * k)));
    if (buf.size() >= 65536 - 8) {
      std::fwrite(buf.data(), 1, buf.size(), out);
      buf.clear();
    }
  }
  std::fwrite(buf.data(), 1, buf.size(), out);
  const bool ok = std::fclose(out) == 0;
  return ok ? 0 : 1;
}
