// SHA-256 (FIPS 180-4), our own so that the job log and the recipes need nothing beyond the
// standard library: the images' pins, the recipe's own checksum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ops {

class Sha256 {
 public:
  void update(const std::uint8_t* data, std::size_t size);
  // The digest of everything given; the object is spent afterwards.
  std::array<std::uint8_t, 32> finish();

 private:
  void compress(const std::uint8_t* block);

  std::uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t block_[64] = {};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

// SHA-256 of a byte string, as 64 lower-case hex digits.
std::string sha256Hex(const std::uint8_t* data, std::size_t size);
inline std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
  return sha256Hex(bytes.data(), bytes.size());
}
inline std::string sha256Hex(const std::string& bytes) {
  return sha256Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace ops
