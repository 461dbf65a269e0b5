#include "dwl/dwl12pclib.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/data_files.h"
#include "platform/rs232.h"

namespace dwl {

std::uint8_t v_BufferSL[kBufferSLSize] = {};

ResultCode dwl12_0UartInit(int port, int baud, int parity, std::uint32_t timeoutSeconds) {
  platform::Rs232& com = platform::rs232();
  const int rc =
      com.OpenComConfig(port, platform::comName(port), baud, parity, 8, 1, kQueueSize, kQueueSize);
  if (rc != 0) return static_cast<ResultCode>(static_cast<std::uint32_t>(rc) | 0x80000000u);
  com.SetCTSMode(port, 0);
  com.SetXMode(port, 0);
  com.FlushInQ(port);
  com.FlushOutQ(port);
  com.ComSetEscape(port, 6);
  com.SetComTime(port, static_cast<double>(timeoutSeconds));
  return kOk;
}

void dwl12_1UartStop(std::uint8_t port) {
  platform::Rs232& com = platform::rs232();
  com.ComSetEscape(port, 6);
  com.CloseCom(port);
}

ResultCode dwl12_2CalculateLengthOfFile(const char* path, std::uint32_t* length) {
  std::error_code ec;
  const std::filesystem::path p(path ? path : "");
  if (!path || !std::filesystem::is_regular_file(p, ec)) return 2;
  const auto size = std::filesystem::file_size(p, ec);
  if (ec || size > 0xFFFFFFFFu) return 2;
  *length = static_cast<std::uint32_t>(size);
  return kOk;
}

ResultCode dwl12_4LoadSpmFile(std::uint32_t* length, std::uint8_t* buffer, int productType) {
  if (productType != 1 && productType != 2) return 3;
  std::FILE* f = std::fopen(platform::dataFilePath("dwl87.spm").c_str(), "rb");
  if (!f) return 3;
  int c = 0;
  while (*length < kSpmMaxLength && (c = std::fgetc(f)) != EOF) buffer[(*length)++] = c & 0xFF;
  const bool more = *length >= kSpmMaxLength && std::fgetc(f) != EOF;
  std::fclose(f);
  return more ? 4 : kOk;
}

ResultCode dwl12_5ConversionLittleBig(std::uint32_t v, std::uint32_t* converted, int byteCount) {
  *converted = 0;
  switch (byteCount) {
    case 1:
      *converted = v;
      return kOk;
    case 2:
      *converted = (v >> 8) | ((v & 0xFFu) << 8);
      return kOk;
    case 3:
      *converted = (v >> 16) | (v & 0xFF00u) | ((v & 0xFFu) << 16);
      return kOk;
    case 4:
      *converted = ((v & 0xFF000000u) >> 24) | ((v & 0xFF0000u) >> 8) | ((v & 0xFF00u) << 8) |
                   ((v & 0xFFu) << 24);
      return kOk;
    default:
      return 5;
  }
}

ResultCode dwl12_6InitializeDefaultPath(char* dest, const char* path) {
  std::size_t last = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i)
    if (path[i] == '\\') last = i;
  if (last == 0) return kOk;  // no directory: the destination stays as it was
  std::memcpy(dest, path, last);
  // Terminated, so nobody reads the rest of an older, longer directory by mistake.
  dest[last] = '\0';
  return kOk;
}

}  // namespace dwl
