// A unit's serial number made from a counter's number: a format such as "LINE{n:05}". Below the
// station, as the job log's database numbers the units it stores.
#pragma once

#include <cstdint>
#include <string>

namespace ops {

struct SerialFormat {
  std::string prefix, suffix;
  int width = 0;  // digits, zero-padded; 0: as many as the number has
};

// "{n}" or "{n:0W}" (W 1..20) once, with any text around it. False with the reason.
bool parseSerialFormat(const std::string& text, SerialFormat* format, std::string* why);
std::string formatSerial(const SerialFormat& format, std::uint64_t n);

}  // namespace ops
