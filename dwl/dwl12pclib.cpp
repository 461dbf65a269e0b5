#include "dwl/dwl12pclib.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "dwl/dwl_job.h"
#include "platform/input_file.h"
#include "platform/rs232.h"

namespace dwl {

ResultCode dwl12_0UartInit(int port, int baud, int parity, std::uint32_t timeoutSeconds) {
  const JobPort line;
  platform::Rs232& com = *line;
  const int rc =
      com.OpenComConfig(port, portOpenName(port), baud, parity, 8, 1, kQueueSize, kQueueSize);
  if (rc != 0) {
    std::string why = com.LastOpenError(port);
    if (why.empty()) why = "the port cannot be opened (error " + std::to_string(rc) + ")";
    noteReason(why);
    return static_cast<ResultCode>(static_cast<std::uint32_t>(rc) | 0x80000000u);
  }
  com.SetCTSMode(port, 0);
  com.SetXMode(port, 0);
  com.FlushInQ(port);
  com.FlushOutQ(port);
  com.ComSetEscape(port, 6);
  com.SetComTime(port, static_cast<double>(timeoutSeconds));
  return kOk;
}

void dwl12_1UartStop(std::uint8_t port) {
  const JobPort line;
  platform::Rs232& com = *line;
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

std::string spmFileFailure() {
  const JobState* job = currentJob();
  return job ? job->spmFileFailure : std::string();
}

ResultCode dwl12_4LoadSpmFile(std::uint32_t* length, std::uint8_t* buffer, int productType) {
  JobState* const job = currentJob();
  // Kept for the job, like every cause the layers note; a load outside a job keeps it nowhere.
  std::string failure;
  if (job) job->spmFileFailure.clear();
  if (productType != 1 && productType != 2) {
    noteReason("product type " + std::to_string(productType) + " names no bootstrap");
    return 3;
  }
  // The job's own bootstrap, else the working directory's.
  const std::string path =
      job && !job->bootstrapPath.empty() ? job->bootstrapPath : std::string("dwl87.spm");
  const std::uint32_t room = *length < kSpmMaxLength ? kSpmMaxLength - *length : 0;
  platform::InputFile file;
  platform::InputStatus status = file.open(path, room, &failure);
  if (status == platform::InputStatus::Ok) status = file.readAll(buffer + *length, &failure);
  if (status != platform::InputStatus::Ok) {
    noteFile(path, failure);
    if (job) job->spmFileFailure = failure;
    return status == platform::InputStatus::TooLarge ? 4 : 3;
  }
  if (file.size() == 0) {
    // An empty bootstrap would boot a handset into nothing.
    failure = path + ": the bootstrap is empty";
    noteFile(path, failure);
    if (job) job->spmFileFailure = failure;
    return 3;
  }
  *length += static_cast<std::uint32_t>(file.size());
  return kOk;
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
