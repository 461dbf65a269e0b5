// The PC side of the download library: the serial port, the bootstrap file, file sizes, byte
// order, and the directory of a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dwl/dwl_result.h"

namespace dwl {

inline constexpr std::uint32_t kSpmMaxLength = 8191;  // largest data block of the boot ROM
inline constexpr std::size_t kSpmBufferSize = 8192;
inline constexpr int kQueueSize = 0x10000;

// Opens (or re-opens) the port; 1, or the platform's open error OR 0x80000000.
ResultCode dwl12_0UartInit(int port, int baud, int parity, std::uint32_t timeoutSeconds);
// Clears DTR and closes the port (port number taken modulo 256).
void dwl12_1UartStop(std::uint8_t port);
// 1 and the file's size, or 2 when the size cannot be obtained.
ResultCode dwl12_2CalculateLengthOfFile(const char* path, std::uint32_t* length);
// Reads dwl87.spm (product types 1 and 2) into buffer[*length...]; 1, 3 or 4.
ResultCode dwl12_4LoadSpmFile(std::uint32_t* length, std::uint8_t* buffer, int productType);
// Why the last dwl12_4LoadSpmFile of the bound job failed on its file (names the file and the
// reason); empty after a success or for a product type without a bootstrap.
std::string spmFileFailure();
// Reverses the low byteCount bytes of value; 1, or 5 with a zero output.
ResultCode dwl12_5ConversionLittleBig(std::uint32_t value, std::uint32_t* converted, int byteCount);
// Copies into dest the characters of path before its last backslash, and terminates the copy.
// dest must hold at least strlen(path) + 1 characters.
ResultCode dwl12_6InitializeDefaultPath(char* dest, const char* path);

// The size of the library's buffer for data received from the handset (the job's v_BufferSL).
inline constexpr std::size_t kBufferSLSize = 20 + 8192;

}  // namespace dwl
