#include "cli/outcome.h"

#include "dwl/dwl52display.h"

namespace cli {

std::string outcomeMessage(const dwl::DownloadResult& r) {
  if (r.Family == dwl::RESULT_SUCCESS) return {};
  if (r.Family == dwl::RESULT_BOOT && r.Code == 4)
    return "BOOT : The handset did not answer (is it connected to this port and switched on?)";
  if (r.Family == dwl::RESULT_VERIFY) return "VERIFY : The flash differs from the image written";
  std::string text = dwl::resultMessage(r.Family, r.Code);
  if (text.empty())
    text = "Unknown result (family " + std::to_string(r.Family) + ", code " +
           std::to_string(r.Code) + ")";
  return text;
}

int exitStatusOf(const dwl::DownloadResult& r) {
  if (r.Family == dwl::RESULT_SUCCESS) return 0;
  if (r.Family == dwl::RESULT_VERIFY) return dwl::RESULT_VERIFY;
  // 4 and 7 are not families: no layer reports them.
  if (r.Family >= 1 && r.Family <= 13 && r.Family != 4 && r.Family != 7) return r.Family;
  return 1;
}

nlohmann::json toJson(const Outcome& o) {
  nlohmann::json flash = nullptr;
  if (o.flash.identified)
    flash = {
        {"manufacturer", o.flash.manufacturer}, {"device", o.flash.device}, {"name", o.flash.name}};
  return {{"port", o.port},
          {"family", o.result.Family},
          {"code", o.result.Code},
          {"message", outcomeMessage(o.result)},
          {"detail", o.detail},
          {"flash", flash},
          {"bytes_written", o.bytesWritten},
          {"seconds", o.seconds},
          {"verified", o.verified}};
}

std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string errorText(const Outcome& o) {
  if (o.result.Family == dwl::RESULT_SUCCESS) return {};
  std::string text = outcomeMessage(o.result) + "\n";
  if (!o.detail.empty()) text += o.detail + "\n";
  return text;
}

}  // namespace cli
