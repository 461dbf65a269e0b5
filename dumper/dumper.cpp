#include "dumper/dumper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "platform/rs232.h"

namespace dumper {

namespace {

constexpr char kDumpFile[] = "dump.txt";
constexpr std::uint8_t kEraseCodeSectors = 0xE4;
constexpr std::uint8_t kEraseAck = 0xC5;
constexpr std::uint8_t kEraseDone = 0xF6;

// Blocks are read into the library's serial buffer after its first 20 bytes.
constexpr std::size_t kBlockOffsetInBuffer = 20;
static_assert(dwl::kBufferSLSize >= kBlockOffsetInBuffer + kBlockSize);

const std::vector<int> kDumpLockControls = {4, 5, 11, 10, 12, 17, 13, 7, 6, 9};
const std::vector<int> kMainAllControls = {4, 5, 11, 10, 12, 17, 13, 7, 6, 2, 3, 18, 14, 8, 9};
const std::vector<int> kEraseLockControls = {2, 3, 4, 12};
const std::vector<int> kEraseRangeControls = {kEraseFirst, kEraseLast, kEraseRangeLabel};

// dump.txt opened for appending. A block either lands whole or not at all: a write that stops
// part-way is cut back to the size the file had before it.
class DumpFile {
 public:
  DumpFile() : fd_(::open(kDumpFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) {}
  ~DumpFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool append(const std::uint8_t* data, std::size_t count) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, data + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (done > 0 && ::ftruncate(fd_, st.st_size) != 0) {
          // Nothing more can be done; the error window tells the user the file is suspect.
        }
        return false;
      }
    }
    return true;
  }

 private:
  int fd_;
};

// A reply byte as the protocol sees it: a time-out reads as 0x9D.
std::uint8_t readByte(int port) {
  return static_cast<std::uint8_t>(platform::rs232().ComRdByte(port));
}

void keepFirst(std::int32_t* first, std::int32_t code) {
  if (*first == 0) *first = code;
}

}  // namespace

std::int32_t eraseOutcomeCode(std::uint8_t outcome) {
  switch (outcome) {
    case 0xF3:
      return 13;
    case 0xF4:
      return 14;
    case 0xF5:
      return 15;
    default:
      return 16;
  }
}

dwl::DownloadResult dump_flash(DumperContext ctx) {
  const int first = ctx.DumpFirstSector;
  const int last = ctx.DumpLastSector;
  if (!validRange(first, last)) return {dwl::RESULT_DOWNLOAD_ERROR, 0};

  DumpFile file;
  if (!file.ok()) return {dwl::RESULT_LIB_PC, kDumpFileError};

  dwl::Display& show = dwl::display();
  std::uint8_t* const block = dwl::v_BufferSL + kBlockOffsetInBuffer;
  const std::uint32_t blocks = blockCount(first, last);
  std::uint32_t address = DumperSectorMap::address(first);
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const dwl::ResultCode rc = dwl::dwl11_6ReadCommand(address, kBlockSize, block, ctx.ComPort);
    if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
    show.processEvents();
    if (!file.append(block, kBlockSize)) return {dwl::RESULT_LIB_PC, kDumpFileError};
    show.dumpOffset(address - dwl::FlashBase);
    SoftPourcent = static_cast<int>(static_cast<unsigned>(100.0 * (i + 1) / blocks));
    show.progress(SoftPourcent);
    show.processEvents();
    address += kBlockSize;
  }
  return {dwl::RESULT_SUCCESS, 0};
}

dwl::DownloadResult dwl3_1DownloadSoftware(DumperContext ctx) {
  return dump_flash(ctx);
}

dwl::DownloadResult dwl3_0Generic5087(DumperContext ctx) {
  dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  // The dump is the only download type the dumper knows.
  if (ctx.DownloadType != 0) return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  dwl::DownloadResult result = dwl3_1DownloadSoftware(ctx);
  if (result.Family == dwl::RESULT_SUCCESS) {
    rc = dwl::dwl11_7SwitchOffCommand(ctx.ComPort);
    if (rc != dwl::kOk) result = {dwl::RESULT_COMMAND, rc};
  }
  return result;
}

dwl::DownloadResult flash_erase(DumperContext ctx) {
  const int first = sg_DownloadContext.EraseFirstSector;
  const int last = sg_DownloadContext.EraseLastSector;
  if (!validRange(first, last)) return {dwl::RESULT_DOWNLOAD_ERROR, 0};

  dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};

  dwl::Display& show = dwl::display();
  const int port = ctx.ComPort;
  std::int32_t firstFailure = 0;
  std::uint32_t address = DumperSectorMap::address(first);
  for (int sector = first; sector <= last; ++sector) {
    const std::uint32_t size = DumperSectorMap::size(sector);
    rc = dwl::dwl11_4EraseFlash(kEraseCodeSectors, address, size, 1, port);
    show.processEvents();
    if (rc != dwl::kOk) {
      show.popup(kErrorTitle, kErasingErrorText);
      keepFirst(&firstFailure, kEraseRefused);
    }
    if (readByte(port) != kEraseAck) {
      show.popup(kErrorTitle, kAckErrorText);
      keepFirst(&firstFailure, kEraseNoAck);
    }
    const std::uint8_t outcome = readByte(port);
    if (outcome != kEraseDone) {
      show.popup(kErrorTitle, kClearErrorText);
      keepFirst(&firstFailure, eraseOutcomeCode(outcome));
    }
    show.eraseProgress(address - dwl::FlashBase, static_cast<std::uint32_t>(sector));
    address += size;
  }

  // A sector that was not erased must not end with the erase-successful panel, and the handset
  // stays on so the user can erase again.
  if (firstFailure != 0) return {dwl::RESULT_COMMAND, firstFailure};
  rc = dwl::dwl11_7SwitchOffCommand(port);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  return {dwl::RESULT_SUCCESS, 0};
}

// --- the whole flows ------------------------------------------------------------------------

namespace {

dwl::DownloadResult runOperation(std::int32_t mode, const SwitchOnPanel& switchOn,
                                 dwl::DownloadResult (*sequence)(DumperContext)) {
  sg_DownloadContext.OperationMode = mode;
  if (mode == kModeDump) {
    InitControls();
    LockDuringDumping();
  } else {
    InitControls_erase();
    LockDuringErasing();
  }
  dwl::display().processEvents();

  if (switchOn.show) switchOn.show();
  dwl::DownloadResult result = dwl::dwl1_0boot(&sg_DownloadContext);
  if (switchOn.discard) switchOn.discard();

  if (result.Family == dwl::RESULT_SUCCESS) result = sequence(sg_DownloadContext);
  dwl::dwl52_10DisplayResult(result.Family, result.Code);
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(sg_DownloadContext.ComPort));
  return result;
}

}  // namespace

dwl::DownloadResult runDump(const SwitchOnPanel& switchOn) {
  return runOperation(kModeDump, switchOn, dwl3_0Generic5087);
}

dwl::DownloadResult runErase(const SwitchOnPanel& switchOn) {
  return runOperation(kModeErase, switchOn, flash_erase);
}

void resetAndUnlock() {
  if (sg_DownloadContext.OperationMode == kModeDump) {
    InitControls();
    UnlockAfterDump();
  } else {
    InitControls_erase();
    UnlockAfterErasing();
  }
}

void InitControls() {
  dwl::display().progress(0);
  dwl::display().dumpOffset(0);
}

void InitControls_erase() {
  dwl::display().eraseProgress(0, 0);
}

void LockDuringDumping() {
  dwl::display().lock();
  dwl::display().processEvents();
}

void UnlockAfterDump() {
  dwl::display().unlock();
  dwl::display().processEvents();
}

void LockDuringErasing() {
  dwl::display().lock();
  dwl::display().processEvents();
}

void UnlockAfterErasing() {
  dwl::display().unlock();
  dwl::display().processEvents();
}

// --- panels and callbacks -------------------------------------------------------------------

namespace {

Dimming operationDimming(bool dim) {
  if (sg_DownloadContext.OperationMode == kModeDump)
    return {Panel::Main, kDumpLockControls, dim, true};
  std::vector<int> controls = kEraseLockControls;
  if (sg_DownloadContext.EraseSelection == kEraseSectorRange)
    controls.insert(controls.end(), kEraseRangeControls.begin(), kEraseRangeControls.end());
  return {Panel::Erase, controls, dim, false};
}

InputVerdict check(std::int32_t first, std::int32_t last) {
  return first > last ? InputVerdict::InvalidEndProgram : InputVerdict::Accepted;
}

}  // namespace

Dimming lockDimming() {
  return operationDimming(true);
}
Dimming unlockDimming() {
  return operationDimming(false);
}

InputVerdict setDumpFirstSector(int value) {
  sg_DownloadContext.DumpFirstSector = value;
  return check(sg_DownloadContext.DumpFirstSector, sg_DownloadContext.DumpLastSector);
}

InputVerdict setDumpLastSector(int value) {
  sg_DownloadContext.DumpLastSector = value;
  return check(sg_DownloadContext.DumpFirstSector, sg_DownloadContext.DumpLastSector);
}

InputVerdict setEraseFirstSector(int value) {
  sg_DownloadContext.EraseFirstSector = value;
  prior_value_start = value;
  return check(sg_DownloadContext.EraseFirstSector, sg_DownloadContext.EraseLastSector);
}

InputVerdict setEraseLastSector(int value) {
  sg_DownloadContext.EraseLastSector = value;
  prior_value_end = value;
  return check(sg_DownloadContext.EraseFirstSector, sg_DownloadContext.EraseLastSector);
}

void setComPort(int value) {
  sg_DownloadContext.ComPort = value;
}

void setSpeed(int value) {
  sg_DownloadContext.Speed = value;
}

std::optional<Dimming> setEraseSelection(int value) {
  sg_DownloadContext.EraseSelection = value;
  if (value == kEraseWholeFlash) {
    sg_DownloadContext.EraseFirstSector = kFirstSector;
    sg_DownloadContext.EraseLastSector = kWholeFlashLastSector;
    return Dimming{Panel::Erase, kEraseRangeControls, true, false};
  }
  if (value == kEraseSectorRange) {
    sg_DownloadContext.EraseFirstSector = prior_value_start;
    sg_DownloadContext.EraseLastSector = prior_value_end;
    return Dimming{Panel::Erase, kEraseRangeControls, false, false};
  }
  return std::nullopt;
}

Dimming openErasePanel() {
  sg_DownloadContext.EraseSelection = kEraseWholeFlash;
  return {Panel::Main, kMainAllControls, true, true};
}

Dimming closeErasePanel() {
  return {Panel::Main, kMainAllControls, false, true};
}

}  // namespace dumper
