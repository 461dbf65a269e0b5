#include "apps/cli/outcome.h"

#include "ops/operations.h"

namespace cli {

std::string outcomeMessage(const dwl::DownloadResult& r) {
  return ops::resultText(r);
}

int exitStatusOf(const dwl::DownloadResult& r) {
  if (r.Family == dwl::RESULT_SUCCESS) return 0;
  if (r.Family == dwl::RESULT_VERIFY) return dwl::RESULT_VERIFY;
  if (r.Family == kFamilyUsage) return kFamilyUsage;
  // 4 and 7 are not families: no layer reports them.
  if (r.Family >= 1 && r.Family <= kFamilyLocalFile && r.Family != 4 && r.Family != 7)
    return r.Family;
  return 1;
}

nlohmann::json toJson(const Outcome& o) {
  nlohmann::json flash = nullptr;
  if (o.flash.identified)
    flash = {
        {"manufacturer", o.flash.manufacturer}, {"device", o.flash.device}, {"name", o.flash.name}};
  nlohmann::json failed = nlohmann::json::array();
  for (const dwl::FailedSector& f : o.failedSectors)
    failed.push_back({{"number", f.number}, {"address", f.address}, {"message", f.message}});
  return {{"port", o.port},
          {"family", o.result.Family},
          {"code", o.result.Code},
          {"message", o.message.empty() ? outcomeMessage(o.result) : o.message},
          {"detail", o.detail},
          {"flash", flash},
          {"bytes_written", o.bytesWritten},
          {"sectors", o.sectors},
          {"failed_sectors", failed},
          {"seconds", o.seconds},
          {"verified", o.verified}};
}

std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string errorText(const Outcome& o) {
  if (o.result.Family == dwl::RESULT_SUCCESS) return {};
  std::string text = (o.message.empty() ? outcomeMessage(o.result) : o.message) + "\n";
  if (!o.detail.empty()) text += o.detail + "\n";
  return text;
}

}  // namespace cli
