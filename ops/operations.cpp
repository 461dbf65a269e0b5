#include "ops/operations.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/downloader/dwl51loader.h"
#include "engines/dumper/dumper.h"
#include "platform/append_file.h"
#include "platform/cancel.h"
#include "platform/data_files.h"
#include "platform/guarded_rs232.h"
#include "platform/input_file.h"
#include "platform/rs232.h"

namespace ops {

namespace {

// The port as a failure names it: "COM4" with its device, or the device alone.
dwl::FailureObject portObject(const PortRef& port) {
  dwl::FailureObject o;
  if (port.device.empty() || port.name == port.device) {
    o.port = port.device.empty() ? port.name : port.device;
  } else {
    o.port = platform::comName(port.number);
    o.device = port.device;
  }
  return o;
}

// The flash name and geometry of an identified handset, from the job's descriptions.
dwl::HandsetIdentity identify(const dwl::SharedContext& ctx) {
  dwl::HandsetIdentity id;
  id.cpu = ctx.CpuType;
  id.manufacturer = ctx.FlashManufacturer;
  id.device = ctx.FlashDevice;
  char maker[dwl::kNameSize] = {}, device[dwl::kNameSize] = {};
  if (dwl::dwl10_6GetManufacturerAndFlashName(ctx.FlashManufacturer, ctx.FlashDevice, maker,
                                              device) == dwl::kOk)
    id.flashName = std::string(maker) + " " + device;
  std::uint8_t index = 0;
  if (dwl::dwl10_1GetNumberOfSector(id.manufacturer, id.device, &id.sectorCount) == dwl::kOk &&
      dwl::dwl10_5GetFlashSize(id.manufacturer, id.device, &id.flashSize) == dwl::kOk &&
      dwl::dwl10_500GetFlashIndex(id.manufacturer, id.device, &index) == dwl::kOk) {
    id.described = true;
    id.banks = dwl::flashTable().Flash[index].NbBanks;
  }
  return id;
}

// Everything a job binds to its thread while it runs, and the envelope every job shares: the
// boot, the job's own sequence, the port closed, the result with its cause.
class Job {
 public:
  Job(const LinkInput& link, const Context& context)
      : link_(link),
        context_(context),
        guard_(
            *context.serial, context.cancel, [](double waited) { dwl::reportWaiting(waited); },
            context.clock) {
    state_.progress = context.progress;
    // Without descriptions the flash has no name.
    state_.flash = link.flash;
    state_.cancel = context.cancel;
    state_.line = &guard_;
    state_.serial = &guard_;
    state_.port = link.port.number;
    state_.device = link.port.device;
    state_.clock = context.clock;
    state_.bootstrapPath = link.bootstrapPath.empty()
                               ? platform::dataFilePath("dwl87.spm", context.dataFolders)
                               : link.bootstrapPath;
    scope_.emplace(state_);
    start_ = dwl::now();
  }

  dwl::JobState& state() { return state_; }

  void fill(dwl::SharedContext& ctx, const dwl::ProgramProfile& profile) const {
    ctx.ComPort = link_.port.number;
    ctx.PmuOption = link_.pmu ? 1 : 0;
    ctx.Speed = link_.speed;
    ctx.DownloadType = 0;
    ctx.ProductType = link_.productType;
    for (int i = 0; i < 4; ++i) ctx.WaitState[i] = link_.waitStates[static_cast<std::size_t>(i)];
    ctx.Profile = &profile;
  }

  void started(const dwl::JobTotals& totals) {
    state_.totals = totals;
    if (state_.progress) state_.progress->jobStarted(totals);
  }

  void totalsKnown(const dwl::JobTotals& totals) {
    state_.totals = totals;
    if (state_.progress) state_.progress->totalsKnown(totals);
  }

  // Boots the handset; on success the identity is reported and kept for the result.
  dwl::DownloadResult boot(dwl::SharedContext& ctx) {
    dwl::reportStage({dwl::Stage::Boot, 0, 0, describePort(link_.port), 0});
    const dwl::DownloadResult r = dwl::dwl1_0boot(&ctx);
    if (r.Family != dwl::RESULT_SUCCESS) return r;
    result_.identified = true;
    result_.handset = identify(ctx);
    dwl::reportIdentified(result_.handset);
    return r;
  }

  // Closes the port and makes the result; reported as the job's last event.
  JobResult finish(dwl::DownloadResult r) {
    dwl::dwl12_1UartStop(static_cast<std::uint8_t>(link_.port.number));
    const bool cancelled = context_.cancel && context_.cancel->cancelled();
    if (r.Family != dwl::RESULT_SUCCESS && cancelled) r = dwl::kCancelledResult;
    result_.result = r;
    result_.message = resultText(r);
    result_.sectors = state_.sectorsDone;
    result_.failedSectors = state_.failedSectors;
    if (r.Family != dwl::RESULT_SUCCESS) result_.detail = cause(r);
    result_.seconds = dwl::now() - start_;
    if (state_.progress) state_.progress->jobFinished(result_);
    return result_;
  }

  JobResult& result() { return result_; }

 private:
  dwl::FailureDetail cause(const dwl::DownloadResult& r) const {
    dwl::FailureDetail d;
    if (!state_.file.empty()) {
      d.object.file = state_.file;
    } else {
      d.object = portObject(link_.port);
      if (state_.inSector) {
        if (state_.sector.number != dwl::kNoSector) d.object.sector = state_.sector.number;
        d.object.address = state_.sector.address;
      }
    }
    if (r.Family == dwl::RESULT_CANCELLED)
      d.reason.kind = dwl::FailureKind::Cancelled;
    else if (state_.reason.kind != dwl::FailureKind::None)
      d.reason = state_.reason;
    else if (guard_.lastReadTimedOut())
      d.reason.kind = dwl::FailureKind::Silent;
    return d;
  }

  const LinkInput& link_;
  const Context& context_;
  platform::GuardedRs232 guard_;
  dwl::JobState state_;
  std::optional<dwl::JobScope> scope_;
  JobResult result_;
  double start_ = 0;
};

dwl::FailureDetail fileFailure(std::string path, std::string why) {
  dwl::FailureDetail d;
  d.object.file = std::move(path);
  d.reason = dwl::stated(std::move(why));
  return d;
}

dwl::FailureDetail rangeFailure(std::string range, std::string why) {
  dwl::FailureDetail d;
  d.object.range = std::move(range);
  d.reason = dwl::stated(std::move(why));
  return d;
}

JobResult refused(const Context& context, dwl::DownloadResult r, dwl::FailureDetail detail) {
  JobResult result;
  result.result = r;
  result.message = resultText(r);
  result.detail = std::move(detail);
  if (context.progress) context.progress->jobFinished(result);
  return result;
}

JobResult noPort(const Context& context) {
  const std::uint32_t code = static_cast<std::uint32_t>(platform::kErrCannotOpen) | 0x80000000u;
  return refused(context, {dwl::RESULT_LIB_PC, static_cast<std::int32_t>(code)},
                 {{}, dwl::stated("no serial port to talk through")});
}

// The read-back of a write's images, their files named in a difference's cause.
dwl::DownloadResult readBack(int port, const std::vector<downloader::WrittenImage>& images,
                             const std::vector<Image>& files, JobResult& result) {
  std::array<std::string, 4> names;
  for (const Image& file : files)
    if (!file.path.empty()) names[static_cast<std::size_t>(file.slot)] = file.path;
  const dwl::DownloadResult r = downloader::readBack(port, images, names);
  result.verified = r.Family == dwl::RESULT_SUCCESS;
  return r;
}

// The engine's record of a write, with the images it points into (a copy: the record's image
// pointers are not const, and an odd ogm image goes with a spare byte).
struct WriteRecord {
  downloader::DownloadContext ctx;
  std::vector<std::vector<std::uint8_t>> images;
};

// One image slot of the downloader's record.
struct SlotFields {
  char* path;
  std::uint8_t** data;
  std::uint32_t* length;
  std::uint8_t* loaded;
};

SlotFields slotOf(downloader::DownloadContext& c, dwl::Slot slot) {
  switch (slot) {
    case dwl::Slot::Bin1:
      return {c.Bin1Path, &c.Bin1Data, &c.Bin1Length, &c.Bin1Loaded};
    case dwl::Slot::Bin2:
      return {c.Bin2Path, &c.Bin2Data, &c.Bin2Length, &c.Bin2Loaded};
    case dwl::Slot::Ogm1:
      return {c.Ogm1Path, &c.Ogm1Data, &c.Ogm1Length, &c.Ogm1Loaded};
    case dwl::Slot::Ogm2:
      break;
  }
  return {c.Ogm2Path, &c.Ogm2Data, &c.Ogm2Length, &c.Ogm2Loaded};
}

constexpr dwl::Slot kSlots[] = {dwl::Slot::Bin1, dwl::Slot::Bin2, dwl::Slot::Ogm1, dwl::Slot::Ogm2};

void fillImages(const WriteInput& in, WriteRecord& rec, dwl::JobState& job) {
  downloader::DownloadContext& c = rec.ctx;
  c.Model = in.model;
  c.Mode = static_cast<std::int32_t>(in.mode);
  rec.images.reserve(in.images.size());
  for (const Image& image : in.images) {
    const std::uint32_t length = static_cast<std::uint32_t>(image.bytes.size());
    job.imageLengths[static_cast<int>(image.slot)] = length;
    std::vector<std::uint8_t>& bytes = rec.images.emplace_back(image.bytes);
    if (downloader::sentLength(image.slot, length) != length) bytes.push_back(0xFF);  // erased
    const SlotFields f = slotOf(c, image.slot);
    std::snprintf(f.path, downloader::kPathSize, "%s", image.path.c_str());
    *f.data = bytes.data();
    *f.length = static_cast<std::uint32_t>(bytes.size());
    *f.loaded = 1;
  }
}

std::uint64_t imageBytes(const WriteInput& in) {
  std::uint64_t total = 0;
  for (const Image& image : in.images)
    if (writesSlot(in, image.slot)) total += downloader::sentLength(image.slot, image.bytes.size());
  return total;
}

// Sectors the written images take on the identified flash (0 when the geometry cannot say).
std::uint32_t sectorsOf(const WriteInput& in, WriteRecord& rec) {
  downloader::DownloadContext& c = rec.ctx;
  std::uint32_t total = 0;
  for (const dwl::Slot slot : kSlots) {
    const SlotFields f = slotOf(c, slot);
    std::uint32_t address = 0;
    if (*f.loaded != 1 || !writesSlot(in, slot) ||
        !downloader::slotAddress(slot, c.Model, &address))
      continue;
    std::uint32_t list[dwl::kSectorListWords] = {};
    if (dwl::dwl10_3GetSectorList(c.FlashManufacturer, c.FlashDevice, address - dwl::FlashBase,
                                  *f.length, list) == dwl::kOk)
      total += list[0];
  }
  return total;
}

// The sectors the erase walks: the fixed map on the flash it describes, else the identified
// flash's own description. Never more than the handset reported.
dwl::DownloadResult eraseGeometry(const EraseInput& in, dumper::DumperContext& ctx,
                                  dumper::SectorGeometry* geometry) {
  // The dumper knows one flash, whatever the handset reports; the boot has already refused the
  // makers it does not know.
  const bool mapFlash =
      in.rules == EraseRules::Dumper || (ctx.FlashManufacturer == 0x01 && ctx.FlashDevice == 0x7E);
  if (mapFlash) {
    *geometry = dumper::mapGeometry();
    return {dwl::RESULT_SUCCESS, 0};
  }
  std::uint8_t index = 0;
  const std::uint8_t maker = ctx.FlashManufacturer, device = ctx.FlashDevice;
  char name[64];
  std::snprintf(name, sizeof name, "flash 0x%02X:0x%02X", maker, device);
  if (dwl::dwl10_500GetFlashIndex(maker, device, &index) != dwl::kOk) {
    dwl::noteReason(std::string("the sector numbers are those of flash 0x01:0x7E; this handset "
                                "has ") +
                    name + ", which flash.txt does not describe");
    return {dwl::RESULT_FLASH_FILE, 15};
  }
  const dwl::FlashDescription& f = dwl::flashTable().Flash[index];
  const int count = static_cast<int>(std::min<std::uint32_t>(f.NbSectors, dwl::kMaxSectors));
  if (in.extent == EraseInput::Extent::WholeDescribedFlash) {
    ctx.EraseFirstSector = 0;
    ctx.EraseLastSector = count - 1;
  }
  if (ctx.EraseLastSector >= count) {
    dwl::noteReason(std::string(name) + " has sectors 0.." + std::to_string(count - 1));
    return {dwl::RESULT_FLASH_FILE, 19};
  }
  std::vector<std::uint32_t> offsets(static_cast<std::size_t>(count) + 1, 0);
  for (int s = 0; s < count; ++s)
    offsets[static_cast<std::size_t>(s) + 1] =
        offsets[static_cast<std::size_t>(s)] + f.Sectors[s].Size;
  *geometry = {[offsets](int s) { return offsets[static_cast<std::size_t>(s)]; },
               [offsets](int s) {
                 return offsets[static_cast<std::size_t>(s) + 1] -
                        offsets[static_cast<std::size_t>(s)];
               },
               count};
  return {dwl::RESULT_SUCCESS, 0};
}

}  // namespace

bool resolvePort(const std::string& typed, PortRef* port, std::string* why) {
  if (typed.empty()) {
    if (why) *why = "no port given";
    return false;
  }
  std::string digits = typed;
  if (digits.size() > 3 && (digits.compare(0, 3, "COM") == 0 || digits.compare(0, 3, "com") == 0))
    digits = digits.substr(3);
  bool numeric = !digits.empty() && digits.size() <= 6;
  for (char c : digits) numeric = numeric && c >= '0' && c <= '9';
  if (numeric) {
    const int n = std::stoi(digits);
    if (n < 1 || n > 255) {
      if (why) *why = "port number " + digits + " is outside 1..255";
      return false;
    }
    *port = {typed, n, platform::deviceForPort(n)};
    return true;
  }
  *port = {typed, kPathPort, typed};
  return true;
}

LinkInput linkFromRecord(const dwl::SharedContext& c) {
  LinkInput link;
  link.port = {platform::comName(c.ComPort), c.ComPort, platform::deviceForPort(c.ComPort)};
  link.speed = c.Speed;
  link.productType = c.ProductType;
  link.pmu = c.PmuOption == 1;
  for (int i = 0; i < 4; ++i) link.waitStates[static_cast<std::size_t>(i)] = c.WaitState[i];
  return link;
}

Context programContext(const ProgramSettings& settings, dwl::ProgressSink& progress,
                       const platform::CancelToken& cancel) {
  Context context;
  context.serial = settings.serial;
  context.clock = settings.clock;
  context.dataFolders = settings.dataFolders;
  context.progress = &progress;
  context.cancel = &cancel;
  return context;
}

namespace {

// "COM4 (/dev/ttyS3)", or the port alone when it names the device itself.
std::string portText(const dwl::FailureObject& o) {
  return o.device.empty() ? o.port : o.port + " (" + o.device + ")";
}

}  // namespace

std::string describePort(const PortRef& port) {
  return portText(portObject(port));
}

std::string failureObjectText(const dwl::FailureObject& o) {
  if (!o.file.empty()) return o.file;
  if (!o.range.empty()) return o.range;
  if (o.port.empty()) return {};
  std::string text = "port " + portText(o);
  char where[64] = "";
  if (o.sector && o.address)
    std::snprintf(where, sizeof where, ", sector %u at 0x%08X", *o.sector, *o.address);
  else if (o.address)
    std::snprintf(where, sizeof where, ", address 0x%08X", *o.address);
  return text + where;
}

std::string failureText(const dwl::FailureDetail& d) {
  const std::string object = failureObjectText(d.object);
  const std::string reason = dwl::reasonText(d.reason);
  if (object.empty()) return reason;
  if (reason.empty()) return object;
  return object + ": " + reason;
}

std::string resultText(const dwl::DownloadResult& r) {
  if (r.Family == dwl::RESULT_SUCCESS) return {};
  if (r == dwl::kNoHandsetResult)
    return "BOOT : The handset did not answer (is it connected to this port and switched on?)";
  if (r.Family == dwl::RESULT_VERIFY) return "VERIFY : The flash differs from the image written";
  if (r.Family == dwl::RESULT_CANCELLED) return "Cancelled by the user";
  std::string text = dwl::resultMessage(r.Family, r.Code);
  if (text.empty())
    text = "Unknown result (family " + std::to_string(r.Family) + ", code " +
           std::to_string(r.Code) + ")";
  return text;
}

std::variant<Image, ImageProblem> loadImage(dwl::Slot slot, const std::string& path,
                                            const dwl::FlashDescriptionTable* flash) {
  static const dwl::FlashDescriptionTable kNone;
  const dwl::FlashDescriptionTable& table = flash ? *flash : kNone;
  platform::InputFile file;
  std::string why;
  platform::InputStatus status = file.open(path, downloader::largestImage(table), &why);
  if (status == platform::InputStatus::TooLarge)
    why = downloader::imageTooLargeText(path, file.size(), table);
  Image image{slot, path, {}};
  if (status == platform::InputStatus::Ok) {
    image.bytes.resize(file.size());
    status = file.readAll(image.bytes.data(), &why);
  }
  if (status != platform::InputStatus::Ok)
    return ImageProblem{status == platform::InputStatus::CannotOpen ? 3 : 2, why};
  return image;
}

std::optional<FileMode> fileModeOf(bool bins, bool ogms) {
  if (bins && ogms) return FileMode::BinAndOgm;
  if (bins) return FileMode::BinOnly;
  if (ogms) return FileMode::OgmOnly;
  return std::nullopt;
}

std::optional<FileMode> fileModeOfRecord(std::int32_t mode) {
  switch (mode) {
    case 0:
      return FileMode::BinAndOgm;
    case 1:
      return FileMode::BinOnly;
    case 2:
      return FileMode::OgmOnly;
    default:
      return std::nullopt;
  }
}

WriteInput makeWriteInput(const WriteSettings& settings, const std::vector<ImageSource>& images,
                          std::vector<ImageProblem>* problems) {
  WriteInput in;
  in.link = settings.link;
  in.model = settings.model;
  in.verify = settings.verify;
  in.downloadType = settings.downloadType;
  bool bins = false, ogms = false;
  for (const ImageSource& source : images) {
    const std::string name = std::string("the ") + downloader::slotName(source.slot) + " image ";
    if (std::any_of(in.images.begin(), in.images.end(),
                    [&](const Image& i) { return i.slot == source.slot; })) {
      if (problems)
        problems->push_back(
            {0, "two images for " + std::string(downloader::slotName(source.slot))});
      continue;
    }
    Image image;
    if (source.bytes) {
      image = {source.slot, source.path, {source.bytes->begin(), source.bytes->end()}};
    } else {
      auto loaded = loadImage(source.slot, source.path, settings.link.flash);
      if (auto* problem = std::get_if<ImageProblem>(&loaded)) {
        if (problems) problems->push_back({problem->code, name + problem->text});
        continue;
      }
      image = std::move(std::get<Image>(loaded));
    }
    (downloader::isOgm(source.slot) ? ogms : bins) = true;
    in.images.push_back(std::move(image));
  }
  // Without images the mode does not matter: nothing is written, and the checks refuse it.
  in.mode = settings.mode ? *settings.mode : fileModeOf(bins, ogms).value_or(FileMode::BinOnly);
  return in;
}

bool writesSlot(const WriteInput& in, dwl::Slot slot) {
  if (in.downloadType != 0) return false;
  switch (in.mode) {
    case FileMode::BinAndOgm:
      return true;
    case FileMode::BinOnly:
      return !downloader::isOgm(slot);
    case FileMode::OgmOnly:
      return downloader::isOgm(slot);
  }
  return false;
}

// Only the images the write sends are checked: a stale image in a slot the file mode leaves alone
// must not stop a download that would never touch it.
std::string checkWrite(const WriteInput& in) {
  struct Span {
    const Image* image;
    std::uint64_t from, to;  // handset addresses, to exclusive
  };
  std::vector<Span> spans;
  for (const Image& image : in.images) {
    if (!writesSlot(in, image.slot)) continue;
    const std::string name = std::string(downloader::slotName(image.slot)) + " image " + image.path;
    if (image.bytes.empty()) return "the " + name + " is empty";
    std::uint32_t address = 0;
    if (!downloader::slotAddress(image.slot, in.model, &address))
      return "model " + std::to_string(in.model) + " has no place for an Ogm1 image";
    spans.push_back({&image, address, address + std::uint64_t{image.bytes.size()}});
  }
  for (std::size_t i = 0; i < spans.size(); ++i)
    for (std::size_t j = i + 1; j < spans.size(); ++j) {
      const std::uint64_t from = std::max(spans[i].from, spans[j].from);
      const std::uint64_t to = std::min(spans[i].to, spans[j].to);
      if (from >= to) continue;
      char range[64];
      std::snprintf(range, sizeof range, "0x%08llX..0x%08llX",
                    static_cast<unsigned long long>(from), static_cast<unsigned long long>(to - 1));
      return "the " + std::string(downloader::slotName(spans[i].image->slot)) + " image " +
             spans[i].image->path + " and the " + downloader::slotName(spans[j].image->slot) +
             " image " + spans[j].image->path + " overlap at " + range;
    }
  return {};
}

namespace {

// An image that does not fit the identified flash from its address, or empty when all fit. A
// flash without a description is left to the sequence, which reports it as always.
std::string checkFit(const WriteInput& in, const dwl::SharedContext& ctx,
                     dwl::DownloadResult* result) {
  std::uint32_t count = 0;
  if (dwl::dwl10_1GetNumberOfSector(ctx.FlashManufacturer, ctx.FlashDevice, &count) != dwl::kOk)
    return {};
  for (const Image& image : in.images) {
    std::uint32_t address = 0;
    if (!writesSlot(in, image.slot) || !downloader::slotAddress(image.slot, in.model, &address))
      continue;
    std::uint32_t list[dwl::kSectorListWords] = {};
    const std::uint32_t length = static_cast<std::uint32_t>(image.bytes.size());
    const dwl::ResultCode rc = dwl::dwl10_3GetSectorList(ctx.FlashManufacturer, ctx.FlashDevice,
                                                         address - dwl::FlashBase, length, list);
    if (rc == dwl::kOk) continue;
    *result = {dwl::RESULT_FLASH_FILE, rc};
    std::uint32_t size = 0;
    dwl::dwl10_5GetFlashSize(ctx.FlashManufacturer, ctx.FlashDevice, &size);
    char text[160];
    std::snprintf(text, sizeof text, "%u bytes from 0x%08X do not fit the %u-byte flash", length,
                  address, size);
    dwl::noteFile(std::string(downloader::slotName(image.slot)) + " image " + image.path, text);
    return text;
  }
  return {};
}

}  // namespace

JobResult write(const WriteInput& in, const Context& context) {
  if (!context.serial) return noPort(context);
  if (const std::string why = checkWrite(in); !why.empty())
    return refused(context, {dwl::RESULT_DOWNLOAD_ERROR, 0}, {{}, dwl::stated(why)});
  Job job(in.link, context);
  WriteRecord rec;
  job.fill(rec.ctx, dwl::kDownloaderProfile);
  rec.ctx.DownloadType = in.downloadType;
  fillImages(in, rec, job.state());
  const std::uint64_t bytes = imageBytes(in);
  job.started({in.verify ? 2 * bytes : bytes, 0});
  rec.ctx.StartTime = rec.ctx.EndTime = static_cast<std::time_t>(dwl::now());

  dwl::DownloadResult r = job.boot(rec.ctx);
  // Every image must fit before the first is written: a write refused half-way leaves the handset
  // with half a firmware.
  if (r.Family == dwl::RESULT_SUCCESS && !checkFit(in, rec.ctx, &r).empty()) {
    job.result().bytesWritten = 0;
    return job.finish(r);
  }
  if (r.Family == dwl::RESULT_SUCCESS) {
    job.totalsKnown({in.verify ? 2 * bytes : bytes, sectorsOf(in, rec)});
    downloader::VerifyHook hook;
    JobResult& result = job.result();
    if (in.verify)
      hook = [&result, &in](const downloader::DownloadContext& ctx,
                            const std::vector<downloader::WrittenImage>& images) {
        return readBack(ctx.ComPort, images, in.images, result);
      };
    r = rec.ctx.Mode == 2 ? downloader::dwl3_0Generic5087_ogm(rec.ctx, hook)
                          : downloader::dwl3_0Generic5087(rec.ctx, hook);
    if (in.downloadType != 0 && r.Family == dwl::RESULT_DOWNLOAD_ERROR)
      dwl::noteReason("download type " + std::to_string(in.downloadType) +
                      " writes nothing; only type 0 writes the images");
  }
  job.result().bytesWritten = job.state().imageBytes;
  return job.finish(r);
}

JobResult verify(const WriteInput& in, const Context& context) {
  if (!context.serial) return noPort(context);
  Job job(in.link, context);
  WriteRecord rec;
  job.fill(rec.ctx, dwl::kDownloaderProfile);
  fillImages(in, rec, job.state());
  job.started({imageBytes(in), 0});
  dwl::DownloadResult r = job.boot(rec.ctx);
  if (r.Family == dwl::RESULT_SUCCESS) {
    dwl::reportStage({dwl::Stage::Speed, 0, 0, {}, 0});
    dwl::ResultCode rc = dwl::dwl11_8SetGPIO(rec.ctx);
    if (rc == dwl::kOk) rc = dwl::dwl11_0SetSpeedAndPMU(rec.ctx);
    if (rc != dwl::kOk) r = {dwl::RESULT_COMMAND, rc};
  }
  if (r.Family == dwl::RESULT_SUCCESS) {
    std::vector<downloader::WrittenImage> images;
    downloader::DownloadContext& c = rec.ctx;
    for (const dwl::Slot slot : kSlots) {
      const SlotFields f = slotOf(c, slot);
      std::uint32_t address = 0;
      if (*f.loaded != 1) continue;
      if (!downloader::slotAddress(slot, c.Model, &address)) {
        r = {dwl::RESULT_FLASH_FILE, 18};
        break;
      }
      images.push_back({slot, address, *f.data, *f.length});
    }
    if (r.Family == dwl::RESULT_SUCCESS) r = readBack(c.ComPort, images, in.images, job.result());
    if (r.Family == dwl::RESULT_SUCCESS) {
      dwl::reportStage({dwl::Stage::SwitchOff, 0, 0, {}, 0});
      const dwl::ResultCode rc = dwl::dwl11_7SwitchOffCommand(c.ComPort);
      if (rc != dwl::kOk) r = {dwl::RESULT_COMMAND, rc};
    }
  }
  return job.finish(r);
}

JobResult dump(const DumpInput& in, const Context& context) {
  if (!context.serial) return noPort(context);
  dumper::DumpPlan plan;
  if (in.sectors) {
    const SectorRange s = *in.sectors;
    if (!dumper::validRange(s.first, s.last))
      return refused(
          context, {dwl::RESULT_DOWNLOAD_ERROR, 0},
          rangeFailure("sectors " + std::to_string(s.first) + ".." + std::to_string(s.last),
                       "not a range of the map (0..283, first not after last)"));
    plan = dumper::planForSectors(s.first, s.last, in.output);
  } else {
    plan.offset = in.offset;
    plan.length = in.length;
    plan.output = in.output;
    if (in.length == 0 || in.offset > dumper::kFlashBytes ||
        in.length > dumper::kFlashBytes - in.offset)
      return refused(context, {dwl::RESULT_DOWNLOAD_ERROR, 0},
                     rangeFailure(dumper::describePlan(plan), "not a range of the 16 MiB flash"));
  }
  // An output that cannot take the dump is found before the handset is asked to switch on.
  if (std::string why; !platform::appendable(in.output, &why))
    return refused(context, {dwl::RESULT_LIB_PC, dumper::kDumpFileError},
                   fileFailure(in.output, why));
  Job job(in.link, context);
  dumper::DumperContext ctx;
  job.fill(ctx, dwl::kDumperProfile);
  const std::uint32_t sectors =
      plan.firstSector >= 0 ? static_cast<std::uint32_t>(plan.lastSector - plan.firstSector + 1)
                            : 0;
  job.started({plan.length, sectors});
  dwl::DownloadResult r = job.boot(ctx);
  if (r.Family == dwl::RESULT_SUCCESS) r = dumper::dumpSequence(ctx, plan);
  job.result().bytesWritten = job.state().jobDone;
  return job.finish(r);
}

JobResult erase(const EraseInput& in, const Context& context) {
  if (!context.serial) return noPort(context);
  if (!dumper::validRange(in.firstSector, in.lastSector))
    return refused(context, {dwl::RESULT_DOWNLOAD_ERROR, 0},
                   rangeFailure("sectors " + std::to_string(in.firstSector) + ".." +
                                    std::to_string(in.lastSector),
                                "not a range of the map (0..283, first not after last)"));
  Job job(in.link, context);
  dumper::DumperContext ctx;
  job.fill(ctx, dwl::kDumperProfile);
  ctx.EraseFirstSector = in.firstSector;
  ctx.EraseLastSector = in.lastSector;
  ctx.OperationMode = dumper::kModeErase;
  std::uint64_t bytes = 0;
  const bool whole =
      in.extent == EraseInput::Extent::WholeDescribedFlash && in.rules == EraseRules::CommandLine;
  if (!whole && dumper::validRange(in.firstSector, in.lastSector))
    for (int s = in.firstSector; s <= in.lastSector; ++s) bytes += dumper::DumperSectorMap::size(s);
  job.started({bytes, whole ? 0u : static_cast<std::uint32_t>(in.lastSector - in.firstSector + 1)});
  dwl::DownloadResult r = job.boot(ctx);
  if (r.Family == dwl::RESULT_SUCCESS) {
    dumper::SectorGeometry geometry;
    r = eraseGeometry(in, ctx, &geometry);
    if (r.Family == dwl::RESULT_SUCCESS)
      r = dumper::eraseSectors(ctx, geometry, in.rules == EraseRules::CommandLine);
  }
  return job.finish(r);
}

JobResult info(const InfoInput& in, const Context& context) {
  if (!context.serial) return noPort(context);
  Job job(in.link, context);
  downloader::DownloadContext ctx;
  job.fill(ctx, dwl::kDownloaderProfile);
  job.started({0, 0});
  dwl::DownloadResult r = job.boot(ctx);
  if (r.Family == dwl::RESULT_SUCCESS) {
    std::uint32_t sectors = 0;
    const dwl::ResultCode known =
        dwl::dwl10_1GetNumberOfSector(ctx.FlashManufacturer, ctx.FlashDevice, &sectors);
    if (known != dwl::kOk) {
      r = {dwl::RESULT_FLASH_FILE, known};
      char text[96];
      std::snprintf(text, sizeof text, "no description of flash 0x%02X:0x%02X",
                    ctx.FlashManufacturer, ctx.FlashDevice);
      dwl::noteReason(text);
    }
    // Switched off whatever the description says: a handset left in the bootstrap keeps drawing
    // current on the bench.
    dwl::reportStage({dwl::Stage::SwitchOff, 0, 0, {}, 0});
    const dwl::ResultCode off = dwl::dwl11_7SwitchOffCommand(ctx.ComPort);
    if (off != dwl::kOk && r.Family == dwl::RESULT_SUCCESS) r = {dwl::RESULT_COMMAND, off};
  }
  return job.finish(r);
}

}  // namespace ops
