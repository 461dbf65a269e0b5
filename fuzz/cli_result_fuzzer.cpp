// Puts any bytes into every text of a command's result (port, detail, flash name) and any numbers
// into the rest, then builds what the command line prints: the JSON text must always come out,
// parse back to the same numbers, and the error text must name the detail.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apps/cli/outcome.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

// Takes bytes from the front of the input; what is left when it runs out reads as zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  template <typename T>
  T number() {
    T v{};
    const std::size_t n = std::min(sizeof v, static_cast<std::size_t>(end_ - p_));
    std::memcpy(&v, p_, n);
    p_ += n;
    return v;
  }
  // A text of up to 255 bytes, its length given by the first byte.
  std::string text() {
    const std::size_t want = number<std::uint8_t>();
    const std::size_t n = std::min(want, static_cast<std::size_t>(end_ - p_));
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  cli::Outcome o;
  o.port = in.text();
  o.detail = in.text();
  o.flash.name = in.text();
  o.flash.identified = in.number<std::uint8_t>() & 1;
  o.flash.manufacturer = in.number<std::uint8_t>();
  o.flash.device = in.number<std::uint8_t>();
  o.result.Family = in.number<std::int32_t>();
  o.result.Code = in.number<std::int32_t>();
  o.bytesWritten = in.number<std::uint64_t>();
  o.seconds = static_cast<double>(in.number<std::uint32_t>()) / 1000.0;
  o.verified = in.number<std::uint8_t>() & 1;

  const std::string json = cli::jsonText(cli::toJson(o));
  require(json.find('\n') == std::string::npos);
  const nlohmann::json back = nlohmann::json::parse(json);
  require(back["family"] == o.result.Family && back["code"] == o.result.Code);
  require(back["bytes_written"] == o.bytesWritten);
  require(back["flash"].is_null() != o.flash.identified);

  const std::string error = cli::errorText(o);
  if (o.result.Family == dwl::RESULT_SUCCESS) {
    require(error.empty());
  } else {
    require(!error.empty() && error.back() == '\n');
    if (!o.detail.empty()) require(error.find(o.detail) != std::string::npos);
  }
  (void)cli::exitStatusOf(o.result);
  return 0;
}
