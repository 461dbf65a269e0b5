#include "cli/commands.h"

#include <unistd.h>

#include <QSerialPortInfo>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "downloader/download_context.h"
#include "downloader/dwl3spm87.h"
#include "downloader/dwl51loader.h"
#include "dumper/dumper.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "platform/clock.h"
#include "platform/rs232.h"

namespace cli {

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

// The settings every command shares, on the record the boot is given.
void applyShared(dwl::SharedContext& ctx, const Options& o, int comPort) {
  ctx.ComPort = comPort;
  ctx.PmuOption = o.pmu ? 1 : 0;
  ctx.Speed = speedFor(o);
  ctx.DownloadType = 0;
  ctx.ProductType = o.productType;
  for (int i = 0; i < 4; ++i) ctx.WaitState[i] = o.waitStates[static_cast<std::size_t>(i)];
}

// Fills the flash part of an outcome from the identified codes and flash.txt.
void describeFlash(const dwl::SharedContext& ctx, Outcome& outcome) {
  outcome.flash.identified = true;
  outcome.flash.manufacturer = ctx.FlashManufacturer;
  outcome.flash.device = ctx.FlashDevice;
  char maker[dwl::kNameSize] = {}, device[dwl::kNameSize] = {};
  if (dwl::dwl10_6GetManufacturerAndFlashName(ctx.FlashManufacturer, ctx.FlashDevice, maker,
                                              device) == dwl::kOk)
    outcome.flash.name = std::string(maker) + " " + device;
}

void printIdentity(std::ostream& out, const dwl::SharedContext& ctx, const Outcome& outcome) {
  out << "Processor " << hex2(ctx.CpuType) << (ctx.CpuType == 0xBE ? " (PCF5087)" : "") << '\n';
  out << "Flash     " << (outcome.flash.name.empty() ? "unknown" : outcome.flash.name)
      << " (manufacturer " << hex2(ctx.FlashManufacturer) << ", device " << hex2(ctx.FlashDevice)
      << ")\n";
}

// A failure of the port opening gets the reason the platform recorded.
void explainOpenFailure(Outcome& outcome, const std::string& why) {
  if (outcome.result.Family == dwl::RESULT_LIB_PC && outcome.result.Code < 0 && !why.empty())
    outcome.detail = why;
}

// While the dumper appends to dump.txt of the working directory, the working directory is a
// private one whose dump.txt points at the file asked for.
class DumpTarget {
 public:
  explicit DumpTarget(const std::string& output) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path wanted = fs::absolute(output, ec);
    const fs::path here = fs::current_path(ec) / "dump.txt";
    if (fs::weakly_canonical(wanted, ec) == fs::weakly_canonical(here, ec)) return;
    std::string tmpl = (fs::temp_directory_path(ec) / "kelvane-dump-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
      failed_ = true;
      return;
    }
    dir_ = tmpl;
    old_ = fs::current_path(ec);
    fs::create_symlink(wanted, dir_ / "dump.txt", ec);
    if (ec) {
      failed_ = true;
      return;
    }
    fs::current_path(dir_, ec);
    failed_ = static_cast<bool>(ec);
  }
  ~DumpTarget() {
    std::error_code ec;
    if (!old_.empty()) std::filesystem::current_path(old_, ec);
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  DumpTarget(const DumpTarget&) = delete;
  DumpTarget& operator=(const DumpTarget&) = delete;
  bool failed() const { return failed_; }

 private:
  std::filesystem::path dir_, old_;
  bool failed_ = false;
};

const char* slotName(dwl::Slot slot) {
  switch (slot) {
    case dwl::Slot::Bin1:
      return "bin1";
    case dwl::Slot::Bin2:
      return "bin2";
    case dwl::Slot::Ogm1:
      return "ogm1";
    case dwl::Slot::Ogm2:
      return "ogm2";
  }
  return "image";
}

// Reads every written image back in blocks of one read command and compares it with what was
// sent. The first difference, or the first failed read, ends the check.
class Verifier {
 public:
  Verifier(TerminalDisplay& display, std::string* detail) : display_(display), detail_(detail) {}

  dwl::DownloadResult operator()(const downloader::DownloadContext& ctx,
                                 const std::vector<downloader::WrittenImage>& images) {
    std::vector<std::uint8_t> block(kBlock);
    for (const downloader::WrittenImage& image : images) {
      display_.beginStage(std::string("verify ") + slotName(image.slot), image.length);
      for (std::uint32_t at = 0; at < image.length; at += kBlock) {
        const std::uint32_t n = image.length - at < kBlock ? image.length - at : kBlock;
        const dwl::ResultCode rc =
            dwl::dwl11_6ReadCommand(image.address + at, n, block.data(), ctx.ComPort);
        if (rc != dwl::kOk) {
          display_.endStage();
          return {dwl::RESULT_COMMAND, rc};
        }
        for (std::uint32_t i = 0; i < n; ++i) {
          if (block[i] == image.data[at + i]) continue;
          display_.endStage();
          const std::uint32_t address = image.address + at + i;
          char text[160];
          std::snprintf(text, sizeof text,
                        "%s differs at address 0x%08X (offset %u): flash 0x%02X, image 0x%02X",
                        slotName(image.slot), address, at + i, block[i], image.data[at + i]);
          *detail_ = text;
          return {dwl::RESULT_VERIFY, static_cast<std::int32_t>(address)};
        }
        display_.progress(static_cast<int>(100.0 * (at + n) / image.length));
      }
      display_.progress(100);
      display_.endStage();
    }
    return {dwl::RESULT_SUCCESS, 0};
  }

 private:
  static constexpr std::uint32_t kBlock = 8192;
  TerminalDisplay& display_;
  std::string* detail_;
};

std::uintmax_t fileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

int bindPort(const std::string& port) {
  const int n = comNumberOf(port);
  if (n != 0) return n;
  for (int i = 1; i <= 255; ++i) {
    const std::string var = "KELVANE_COM" + std::to_string(i);
    const char* mapped = std::getenv(var.c_str());
    if (mapped && port == mapped) return i;
  }
  // Above the numbers a technician usually picks, so a mapping of theirs is never overwritten.
  for (int i = 255; i >= 1; --i) {
    const std::string var = "KELVANE_COM" + std::to_string(i);
    const char* mapped = std::getenv(var.c_str());
    if (!mapped || !*mapped) {
      ::setenv(var.c_str(), port.c_str(), 1);
      return i;
    }
  }
  return -1;
}

Outcome runInfo(const Run& run) {
  const Options& o = run.options;
  const int comPort = run.comPort;
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  // The description names the flash; without it the identification means little.
  if (const dwl::ResultCode rc = dwl::dwl10_100InitFlashDescription(); rc != dwl::kOk) {
    outcome.result = {dwl::RESULT_FLASH_FILE, rc};
    outcome.seconds = secondsSince(start);
    return outcome;
  }
  auto& ctx = downloader::sg_DownloadContext;
  applyShared(ctx, o, comPort);
  ctx.Profile = &dwl::kDownloaderProfile;
  outcome.result = dwl::dwl1_0boot(&ctx);
  explainOpenFailure(outcome, run.openError ? run.openError(comPort) : std::string());
  if (outcome.result.Family == dwl::RESULT_SUCCESS) {
    describeFlash(ctx, outcome);
    std::uint32_t sectors = 0, size = 0;
    std::uint8_t index = 0;
    const dwl::ResultCode known =
        dwl::dwl10_1GetNumberOfSector(ctx.FlashManufacturer, ctx.FlashDevice, &sectors);
    if (!o.json) printIdentity(run.out, ctx, outcome);
    if (known == dwl::kOk &&
        dwl::dwl10_5GetFlashSize(ctx.FlashManufacturer, ctx.FlashDevice, &size) == dwl::kOk &&
        dwl::dwl10_500GetFlashIndex(ctx.FlashManufacturer, ctx.FlashDevice, &index) == dwl::kOk) {
      const int banks = dwl::vg_FlashDescritpion.Flash[index].NbBanks;
      if (!o.json)
        run.out << "Size      " << size << " bytes in " << sectors << " sectors, " << banks
                << (banks == 1 ? " bank\n" : " banks\n");
    } else {
      outcome.result = {dwl::RESULT_FLASH_FILE, known == dwl::kOk ? 15 : known};
    }
    // Switched off whatever the description says: a handset left in the bootstrap keeps
    // drawing current on the bench.
    if (const dwl::ResultCode off = dwl::dwl11_7SwitchOffCommand(ctx.ComPort); off != dwl::kOk) {
      if (outcome.result.Family == dwl::RESULT_SUCCESS) outcome.result = {dwl::RESULT_COMMAND, off};
    } else if (!o.json) {
      run.out << "Switched off\n";
    }
  }
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(ctx.ComPort));
  outcome.seconds = secondsSince(start);
  return outcome;
}

Outcome runWrite(const Run& run) {
  const Options& o = run.options;
  TerminalDisplay& display = run.display;
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  if (const dwl::ResultCode rc = dwl::dwl10_100InitFlashDescription(); rc != dwl::kOk) {
    outcome.result = {dwl::RESULT_FLASH_FILE, rc};
    outcome.seconds = secondsSince(start);
    return outcome;
  }
  auto& ctx = downloader::sg_DownloadContext;
  downloader::resetImageSlots();
  applyShared(ctx, o, run.comPort);
  ctx.Profile = &dwl::kDownloaderProfile;
  ctx.Model = o.model;
  ctx.Mode = fileModeFor(o);

  struct Image {
    dwl::Slot slot;
    const std::string& path;
  };
  const Image images[] = {{dwl::Slot::Bin1, o.bin1},
                          {dwl::Slot::Bin2, o.bin2},
                          {dwl::Slot::Ogm1, o.ogm1},
                          {dwl::Slot::Ogm2, o.ogm2}};
  for (const Image& image : images) {
    if (image.path.empty()) continue;
    if (const dwl::ResultCode code = downloader::loadImageFile(image.slot, image.path);
        code != dwl::kOk) {
      outcome.result = {dwl::RESULT_LIB_PC, code};
      outcome.detail =
          std::string("cannot load the ") + slotName(image.slot) + " image " + image.path;
      downloader::resetImageSlots();
      outcome.seconds = secondsSince(start);
      return outcome;
    }
  }
  // The sequences name each image in the log just before writing it.
  const bool ogmOnly = ctx.Mode == 2;
  const std::uint64_t lengths[] = {ctx.Bin1Length, ctx.Bin2Length, ctx.Ogm1Length, ctx.Ogm2Length};
  const char* triggers[] = {"Download the Bin1 File", "Download the Bin2 File",
                            ogmOnly ? "Download the Ogm1 File" : "Download ogm1 sector by sector",
                            ogmOnly ? "Download the Ogm2 File" : "Download ogm2 sector by sector"};
  std::uint64_t total = 0;
  for (int i = 0; i < 4; ++i) {
    if (images[i].path.empty()) continue;
    display.addStage(triggers[i], slotName(images[i].slot), lengths[i]);
    total += lengths[i];
  }

  ctx.StartTime = platform::now();
  outcome.result = dwl::dwl1_0boot(&ctx);
  explainOpenFailure(outcome, run.openError ? run.openError(run.comPort) : std::string());
  if (outcome.result.Family == dwl::RESULT_SUCCESS) {
    describeFlash(ctx, outcome);
    if (!o.json && !o.quiet) printIdentity(run.out, ctx, outcome);
    downloader::VerifyHook verify;
    if (o.verify) verify = Verifier(display, &outcome.detail);
    outcome.result = ctx.Mode == 2 ? downloader::dwl3_0Generic5087_ogm(ctx, verify)
                                   : downloader::dwl3_0Generic5087(ctx, verify);
    display.endStage();
    outcome.verified = o.verify && outcome.result.Family == dwl::RESULT_SUCCESS;
    // Past the verify every image was written, even when the read-back then differed.
    const bool allWritten = outcome.result.Family == dwl::RESULT_SUCCESS ||
                            outcome.result.Family == dwl::RESULT_VERIFY ||
                            (o.verify && outcome.result.Family == dwl::RESULT_COMMAND &&
                             outcome.result.Code >= 17 && outcome.result.Code <= 19);
    outcome.bytesWritten = allWritten ? total : display.bytesDone();
  }
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(ctx.ComPort));
  downloader::resetImageSlots();
  outcome.seconds = secondsSince(start);
  if (outcome.result.Family == dwl::RESULT_SUCCESS && !o.json) {
    char text[160];
    std::snprintf(text, sizeof text, "Written %llu bytes in %.1f s%s, handset switched off\n",
                  static_cast<unsigned long long>(outcome.bytesWritten), outcome.seconds,
                  outcome.verified ? " and verified" : "");
    run.out << text;
  }
  return outcome;
}

Outcome runDump(const Run& run) {
  const Options& o = run.options;
  const int comPort = run.comPort;
  TerminalDisplay& display = run.display;
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  auto& ctx = dumper::sg_DownloadContext;
  applyShared(ctx, o, comPort);
  ctx.Profile = &dwl::kDumperProfile;
  ctx.DumpFirstSector = o.first;
  ctx.DumpLastSector = o.last;
  ctx.OperationMode = dumper::kModeDump;
  const std::uintmax_t before = fileSize(o.output);

  outcome.result = dwl::dwl1_0boot(&ctx);
  explainOpenFailure(outcome, run.openError ? run.openError(comPort) : std::string());
  if (outcome.result.Family == dwl::RESULT_SUCCESS) {
    DumpTarget target(o.output);
    if (target.failed()) {
      outcome.result = {dwl::RESULT_LIB_PC, dumper::kDumpFileError};
      outcome.detail = "cannot write to " + o.output;
    } else {
      display.beginStage("dump",
                         std::uint64_t{dumper::blockCount(o.first, o.last)} * dumper::kBlockSize);
      outcome.result = dumper::dwl3_0Generic5087(ctx);
      display.endStage();
    }
  }
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(ctx.ComPort));
  const std::uintmax_t after = fileSize(o.output);
  outcome.bytesWritten = after > before ? after - before : 0;
  outcome.seconds = secondsSince(start);
  if (outcome.result.Family == dwl::RESULT_SUCCESS && !o.json)
    run.out << "Dumped sectors " << o.first << ".." << o.last << ": " << outcome.bytesWritten
            << " bytes appended to " << o.output << '\n';
  return outcome;
}

Outcome runErase(const Run& run) {
  const Options& o = run.options;
  const int comPort = run.comPort;
  TerminalDisplay& display = run.display;
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  auto& ctx = dumper::sg_DownloadContext;
  applyShared(ctx, o, comPort);
  ctx.Profile = &dwl::kDumperProfile;
  // The erase walk reads its range from the live record.
  ctx.EraseFirstSector = o.first;
  ctx.EraseLastSector = o.last;
  ctx.EraseSelection = o.all ? dumper::kEraseWholeFlash : dumper::kEraseSectorRange;
  ctx.OperationMode = dumper::kModeErase;

  outcome.result = dwl::dwl1_0boot(&ctx);
  explainOpenFailure(outcome, run.openError ? run.openError(comPort) : std::string());
  if (outcome.result.Family == dwl::RESULT_SUCCESS) {
    display.setEraseRange(static_cast<std::uint32_t>(o.first), static_cast<std::uint32_t>(o.last));
    outcome.result = dumper::flash_erase(ctx);
    display.endStage();
  }
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(ctx.ComPort));
  outcome.seconds = secondsSince(start);
  if (outcome.result.Family == dwl::RESULT_SUCCESS && !o.json)
    run.out << "Erased sectors " << o.first << ".." << o.last << '\n';
  return outcome;
}

int runPorts(const Options& o, std::ostream& out) {
  // COM1..COM4 are the numbers the programs offer; higher ones appear when mapped.
  std::map<int, std::string> mapped;
  for (int n = 1; n <= 255; ++n) {
    const std::string var = "KELVANE_COM" + std::to_string(n);
    const char* value = std::getenv(var.c_str());
    if (n <= 4 || (value && *value)) mapped[n] = platform::deviceForPort(n);
  }
  const auto present = QSerialPortInfo::availablePorts();
  auto exists = [](const std::string& device) {
    std::error_code ec;
    return std::filesystem::exists(device, ec);
  };
  if (o.json) {
    nlohmann::json com = nlohmann::json::array();
    for (const auto& [n, device] : mapped)
      com.push_back(nlohmann::json{
          {"port", platform::comName(n)}, {"device", device}, {"present", exists(device)}});
    nlohmann::json devices = nlohmann::json::array();
    for (const QSerialPortInfo& info : present)
      devices.push_back({{"device", info.systemLocation().toStdString()},
                         {"description", info.description().toStdString()}});
    out << nlohmann::json{{"com", com}, {"devices", devices}}.dump() << '\n';
    return 0;
  }
  out << "COM mapping (set KELVANE_COMn to change it):\n";
  for (const auto& [n, device] : mapped)
    out << "  " << platform::comName(n) << "\t" << device
        << (exists(device) ? "" : "\t(not present)") << '\n';
  out << "Serial devices present:\n";
  if (present.isEmpty()) out << "  none\n";
  for (const QSerialPortInfo& info : present) {
    out << "  " << info.systemLocation().toStdString();
    if (!info.description().isEmpty()) out << "\t" << info.description().toStdString();
    out << '\n';
  }
  return 0;
}

}  // namespace cli
