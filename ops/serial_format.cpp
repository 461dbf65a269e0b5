#include "ops/serial_format.h"

#include <charconv>

namespace ops {

bool parseSerialFormat(const std::string& text, SerialFormat* format, std::string* why) {
  auto bad = [&](const std::string& what) {
    if (why) *why = "the serial format '" + text + "' " + what;
    return false;
  };
  const std::size_t open = text.find("{n");
  if (open == std::string::npos) return bad("has no {n} (for example LINE{n:05})");
  const std::size_t close = text.find('}', open);
  if (close == std::string::npos) return bad("does not close its {n}");
  if (text.find("{n", close) != std::string::npos) return bad("has {n} twice");
  SerialFormat f;
  const std::string inside = text.substr(open + 2, close - open - 2);
  if (!inside.empty()) {
    int width = 0;
    const char* first = inside.data() + 1;
    const char* last = inside.data() + inside.size();
    const auto [end, ec] = std::from_chars(first, last, width);
    if (inside.size() < 3 || inside[0] != ':' || inside[1] != '0' || ec != std::errc() ||
        end != last || width < 1 || width > 20)
      return bad("takes {n} or {n:0W} with W 1..20, not {n" + inside + "}");
    f.width = width;
  }
  f.prefix = text.substr(0, open);
  f.suffix = text.substr(close + 1);
  if (f.prefix.find_first_of("{}") != std::string::npos ||
      f.suffix.find_first_of("{}") != std::string::npos)
    return bad("has a brace outside its {n}");
  if (format) *format = f;
  return true;
}

std::string formatSerial(const SerialFormat& format, std::uint64_t n) {
  std::string digits = std::to_string(n);
  if (digits.size() < static_cast<std::size_t>(format.width))
    digits.insert(0, static_cast<std::size_t>(format.width) - digits.size(), '0');
  return format.prefix + digits + format.suffix;
}

}  // namespace ops
