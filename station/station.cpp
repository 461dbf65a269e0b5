#include "station/station.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "dwl/dwl1boot.h"
#include "dwl/dwl_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/downloader/dwl51loader.h"
#include "platform/clock.h"
#include "platform/native_rs232.h"
#include "station/serial_counter.h"

namespace station {

namespace {

std::string hexAddress(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

std::shared_ptr<const LoadedRecipe> loadRecipe(const Recipe& recipe,
                                               std::vector<std::string>* problems) {
  auto loaded = std::make_shared<LoadedRecipe>();
  loaded->flash = std::make_unique<dwl::FlashDescriptionTable>();
  std::vector<std::string> found;
  if (dwl::loadFlashDescription(recipe.flashPath, *loaded->flash) != dwl::kOk)
    found.push_back("cannot read the flash descriptions " + recipe.flashPath);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(recipe.bootstrapPath, ec))
    found.push_back("no bootstrap file " + recipe.bootstrapPath);
  if (recipe.images.empty()) found.push_back("the recipe has no image");
  for (const auto& [key, why] : recipe.unreadable) found.push_back(why);

  ops::WriteSettings settings;
  settings.link.speed = recipe.speed;
  settings.link.productType = recipe.productType;
  settings.link.waitStates = recipe.waitStates;
  settings.link.pmu = recipe.pmu;
  settings.link.bootstrapPath = recipe.bootstrapPath;
  settings.link.flash = loaded->flash.get();
  settings.model = recipe.model;
  settings.verify = recipe.verify;
  std::vector<ops::ImageSource> sources;
  for (const RecipeImage& image : recipe.images) sources.push_back({image.slot, image.path, {}});
  std::vector<ops::ImageProblem> unloaded;
  ops::WriteInput& in = loaded->input;
  in = ops::makeWriteInput(settings, sources, &unloaded);
  // A pinned image that cannot be read is named with the checksum the recipe expects of it.
  auto pinOf = [&](dwl::Slot slot) -> const RecipeImage* {
    for (const RecipeImage& image : recipe.images)
      if (image.slot == slot && !image.sha256.empty()) return &image;
    return nullptr;
  };
  for (const ops::ImageProblem& problem : unloaded) {
    std::string text = problem.text;
    for (const dwl::Slot slot : kImageSlots) {
      const RecipeImage* pin = pinOf(slot);
      if (pin && text.rfind(std::string("the ") + downloader::slotName(slot) + " image ", 0) == 0)
        text += "; the recipe pins sha256 " + pin->sha256 + " (" + std::to_string(pin->size) +
                " bytes)";
    }
    found.push_back(text);
  }
  for (const ops::Image& image : in.images) {
    const RecipeImage* pin = pinOf(image.slot);
    if (!pin) continue;
    const std::string sha = ops::sha256Hex(image.bytes);
    if (sha != pin->sha256 || image.bytes.size() != pin->size)
      found.push_back("the " + std::string(downloader::slotName(image.slot)) + " image " +
                      image.path + " changed since the recipe was made: the recipe pins sha256 " +
                      pin->sha256 + " (" + std::to_string(pin->size) + " bytes), the file has " +
                      sha + " (" + std::to_string(image.bytes.size()) + " bytes)");
  }
  loaded->name = recipe.name;
  loaded->revision = recipe.revision;
  loaded->checksum = recipe.checksum;

  struct Range {
    std::string name;
    std::uint64_t begin, end;
  };
  std::vector<Range> ranges;
  const std::uint64_t flashEnd = dwl::FlashBase + downloader::largestImage(*loaded->flash);
  for (const ops::Image& image : in.images) {
    const std::string name = std::string(downloader::slotName(image.slot)) + " image " + image.path;
    // A download that writes nothing would pass every handset unwritten.
    if (image.bytes.empty()) {
      found.push_back("the " + name + " is empty");
      continue;
    }
    std::uint32_t address = 0;
    if (!downloader::slotAddress(image.slot, recipe.model, &address)) {
      found.push_back("model " + std::to_string(recipe.model) + " has no place for the " + name);
      continue;
    }
    const Range range{name, address,
                      address + downloader::sentLength(image.slot, image.bytes.size())};
    if (range.end > flashEnd)
      found.push_back("the " + name + " (" + hexAddress(range.begin) + " to " +
                      hexAddress(range.end) + ") goes past the end of the flash at " +
                      hexAddress(flashEnd));
    for (const Range& other : ranges) {
      if (range.begin < other.end && other.begin < range.end)
        found.push_back("the " + name + " overlaps the " + other.name + " from " +
                        hexAddress(std::max(range.begin, other.begin)));
    }
    ranges.push_back(range);
  }
  if (problems) *problems = found;
  if (!found.empty()) return nullptr;
  return loaded;
}

std::string recipeSummary(const LoadedRecipe& recipe) {
  const ops::WriteInput& in = recipe.input;
  std::string text;
  for (const ops::Image& image : in.images)
    text += std::string(downloader::slotName(image.slot)) + " " +
            std::filesystem::path(image.path).filename().string() + " (" +
            std::to_string(image.bytes.size()) + " bytes), ";
  const int speed = in.link.speed;
  text += "model " + std::to_string(in.model) + ", speed " + std::to_string(speed);
  if (speed >= 0 && speed < dwl::kSpeedRows)
    text += " (" + std::to_string(dwl::kDownloaderProfile.PCSpeedValue[speed]) + " baud)";
  text += in.verify ? ", verify" : ", no verify";
  return text;
}

const char* stageText(SlotStage stage) {
  switch (stage) {
    case SlotStage::Idle:
      return "idle";
    case SlotStage::Serial:
      return "waiting for a serial";
    case SlotStage::Waiting:
      return "waiting for a handset";
    case SlotStage::Booting:
      return "booting";
    case SlotStage::Speed:
      return "changing speed";
    case SlotStage::Image:
      return "image";
    case SlotStage::Verifying:
      return "verifying";
    case SlotStage::SwitchingOff:
      return "switching off";
    case SlotStage::Done:
      return "done";
    case SlotStage::Failed:
      return "failed";
    case SlotStage::Cancelled:
      return "cancelled";
  }
  return "";
}

LineFactory serialPorts() {
  return [](const ops::PortRef&) { return Line{std::make_shared<platform::NativeRs232>(), {}}; };
}

struct Station::Slot {
  int index = 0;
  ops::PortRef port;
  mutable std::mutex mutex;
  SlotStatus status;
  double jobStart = 0;
  platform::CancelToken cancel;
  // The next unit's serial number, as entered; under mutex.
  std::string entered;
  std::thread thread;
  // The window and the engine may both wait for the same run.
  std::mutex joinMutex;

  void join() {
    std::lock_guard lock(joinMutex);
    if (thread.joinable()) thread.join();
  }
};

namespace {

// Turns a job's events into its slot's status. Cheap: the window reads the status when it paints.
class SlotProgress final : public dwl::ProgressSink {
 public:
  SlotProgress(std::mutex& mutex, SlotStatus& status, std::function<double()> seconds)
      : mutex_(mutex), status_(status), seconds_(std::move(seconds)) {}

  void jobStarted(const dwl::JobTotals& t) override {
    std::lock_guard lock(mutex_);
    status_.total = t.bytes;
  }
  void totalsKnown(const dwl::JobTotals& t) override { jobStarted(t); }
  void stageStarted(const dwl::StageInfo& s) override {
    const double now = seconds_();
    std::lock_guard lock(mutex_);
    if (s.stage == dwl::Stage::Image && s.index == 1) transferStart_ = now;
    if (transferStart_ >= 0 && s.stage != dwl::Stage::Image) {
      status_.transferSeconds = now - transferStart_;
      transferStart_ = -1;
    }
    switch (s.stage) {
      case dwl::Stage::Boot:
        status_.stage = SlotStage::Waiting;
        break;
      case dwl::Stage::Speed:
        status_.stage = SlotStage::Speed;
        break;
      case dwl::Stage::Verify:
        status_.stage = SlotStage::Verifying;
        break;
      case dwl::Stage::SwitchOff:
        status_.stage = SlotStage::SwitchingOff;
        break;
      default:
        status_.stage = SlotStage::Image;
        break;
    }
    status_.image = s.index;
    status_.images = s.count;
  }
  void bytesDone(const dwl::ByteProgress& b) override {
    std::lock_guard lock(mutex_);
    status_.done = b.jobDone;
    status_.total = b.jobTotal;
  }
  void identified(const dwl::HandsetIdentity& h) override {
    char codes[16];
    std::snprintf(codes, sizeof codes, "%02X:%02X", h.manufacturer, h.device);
    std::lock_guard lock(mutex_);
    status_.flash = h.flashName.empty() ? codes : h.flashName;
    if (status_.stage == SlotStage::Waiting) status_.stage = SlotStage::Booting;
  }

 private:
  std::mutex& mutex_;
  SlotStatus& status_;
  std::function<double()> seconds_;
  double transferStart_ = -1;
};

// Waits the given seconds in slices; false as soon as the slot is cancelled.
bool pause(const platform::CancelToken& cancel, double seconds) {
  const double end = platform::now() + seconds;
  while (!cancel.cancelled() && platform::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return !cancel.cancelled();
}

}  // namespace

Station::Station(std::shared_ptr<const LoadedRecipe> recipe, ops::JobLog* log, LineFactory lines)
    : seconds(&platform::now), recipe_(std::move(recipe)), log_(log), lines_(std::move(lines)) {}

Station::~Station() {
  cancelAll();
  waitAll();
}

int Station::addSlot(const std::string& port, std::string* why) {
  auto slot = std::make_unique<Slot>();
  std::string reason;
  if (!ops::resolvePort(port, &slot->port, &reason)) {
    if (why) *why = reason;
    return -1;
  }
  // Two slots on one device (or on two names of it, a link in /dev/serial/by-id) would fight
  // over its handset.
  const auto sameDevice = [](const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto ca = std::filesystem::weakly_canonical(a, ea);
    const auto cb = std::filesystem::weakly_canonical(b, eb);
    return a == b || (!ea && !eb && ca == cb);
  };
  for (const auto& other : slots_) {
    if (sameDevice(other->port.device, slot->port.device)) {
      if (why) *why = slot->port.device + " is already the port of slot " + other->port.name;
      return -1;
    }
  }
  slot->index = slotCount();
  slot->status.port = slot->port.name;
  slot->status.device = slot->port.device;
  slots_.push_back(std::move(slot));
  return slotCount() - 1;
}

std::string Station::stopReason() const {
  return log_ && log_->failed() ? log_->error() : std::string();
}

bool Station::start(int index, bool continuous) {
  Slot& slot = *slots_.at(index);
  if (!recipe_) return false;
  {
    std::lock_guard lock(slot.mutex);
    if (slot.status.running) return false;
  }
  slot.join();
  if (const std::string why = stopReason(); !why.empty()) {
    std::lock_guard lock(slot.mutex);
    slot.status.stage = SlotStage::Failed;
    slot.status.result = why;
    return false;
  }
  slot.cancel.reset();
  {
    std::lock_guard lock(slot.mutex);
    slot.status.running = true;
    slot.status.continuous = continuous;
  }
  std::lock_guard lock(slot.joinMutex);
  slot.thread = std::thread([this, &slot] { run(slot); });
  return true;
}

void Station::startAll(bool continuous) {
  for (int i = 0; i < slotCount(); ++i) start(i, continuous);
}

void Station::cancel(int index) {
  slots_.at(index)->cancel.cancel();
}

void Station::cancelAll() {
  for (auto& slot : slots_) slot->cancel.cancel();
}

void Station::wait(int index) {
  slots_.at(index)->join();
}

void Station::waitAll() {
  for (int i = 0; i < slotCount(); ++i) wait(i);
}

bool Station::enterSerial(int index, const std::string& serial, std::string* why) {
  Slot& slot = *slots_.at(index);
  const std::size_t first = serial.find_first_not_of(" \t\r\n");
  const std::size_t last = serial.find_last_not_of(" \t\r\n");
  std::lock_guard lock(slot.mutex);
  if (first == std::string::npos) {
    if (why) *why = slot.port.name + ": the serial number is empty; scan or type the unit's number";
    return false;
  }
  if (!slot.status.running || slot.status.stage != SlotStage::Serial) {
    if (why) *why = slot.port.name + " does not wait for a serial number: start the slot first";
    return false;
  }
  slot.entered = serial.substr(first, last - first + 1);
  return true;
}

SlotStatus Station::status(int index) const {
  const Slot& slot = *slots_.at(index);
  std::lock_guard lock(slot.mutex);
  SlotStatus s = slot.status;
  // Waiting for the unit's number is not yet the job: the last job's time stays.
  const bool inJob = s.running && s.stage != SlotStage::Done && s.stage != SlotStage::Failed &&
                     s.stage != SlotStage::Cancelled && s.stage != SlotStage::Serial;
  if (inJob) s.elapsed = seconds() - slot.jobStart;
  return s;
}

void Station::run(Slot& slot) {
  const Line line = lines_(slot.port);
  SlotProgress progress(slot.mutex, slot.status, line.clock ? line.clock : seconds);
  const std::shared_ptr<dwl::ProgressSink> also = progressFor ? progressFor(slot.port) : nullptr;
  // The extra sink hears of a job's end only for the jobs the slot records, not for a wait that
  // saw no handset.
  dwl::ProgressWithoutEnd alsoEvents(also.get());
  dwl::ProgressTee events({&progress, also ? &alsoEvents : nullptr});
  ops::Context context;
  context.serial = line.serial.get();
  context.progress = &events;
  context.cancel = &slot.cancel;
  context.clock = line.clock;
  ops::WriteInput input = recipe_->input;
  input.link.port = slot.port;

  auto finish = [&](SlotStage stage, const std::string& result) {
    std::lock_guard lock(slot.mutex);
    slot.status.stage = stage;
    slot.status.result = result;
  };

  bool continuous = false;
  {
    std::lock_guard lock(slot.mutex);
    continuous = slot.status.continuous;
  }
  // The result of the last job that never reached a handset (a port that will not open): the
  // same again is the same adapter still missing, neither a new job nor a new failure.
  std::string lastUnreached;
  // A stop while the slot waits for the next handset (or pauses before a retry) ends no job: the
  // slot keeps showing its last job's outcome (a failure with its cause) rather than the stop.
  std::optional<std::string> lastOutcome;  // empty text: a pass
  // The serial number entered for the unit in the slot: it stays until a job reaches a handset.
  std::string unit;
  {
    std::lock_guard lock(slot.mutex);
    slot.entered.clear();
  }
  // Waits for the operator's number; false when the slot or the station is stopped meanwhile.
  auto askForSerial = [&] {
    {
      std::lock_guard lock(slot.mutex);
      slot.status.stage = SlotStage::Serial;
      slot.status.image = slot.status.images = 0;
      slot.status.done = slot.status.total = 0;
    }
    while (!slot.cancel.cancelled() && !(stopAll && stopAll->cancelled())) {
      {
        std::lock_guard lock(slot.mutex);
        if (!slot.entered.empty()) {
          unit = std::move(slot.entered);
          slot.entered.clear();
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  auto stopped = [&] {
    if (!lastOutcome)
      finish(SlotStage::Cancelled, ops::resultText(dwl::kCancelledResult));
    else
      finish(lastOutcome->empty() ? SlotStage::Done : SlotStage::Failed, *lastOutcome);
  };
  while (true) {
    if (stopAll && stopAll->cancelled()) {
      stopped();
      break;
    }
    if (const std::string why = stopReason(); !why.empty()) {
      finish(SlotStage::Failed, why);
      break;
    }
    if (askSerial && unit.empty() && !askForSerial()) {
      stopped();
      break;
    }
    {
      std::lock_guard lock(slot.mutex);
      slot.status.serial = unit;
      slot.status.serialPending = false;
      slot.status.stage = SlotStage::Waiting;
      slot.status.image = slot.status.images = 0;
      slot.status.done = slot.status.total = 0;
      slot.status.flash.clear();
      slot.status.elapsed = slot.status.transferSeconds = 0;
      slot.jobStart = seconds();
    }
    const auto started = ops::WallClock::now();
    const dwl::JobResult r = ops::write(input, context);
    const auto ended = ops::WallClock::now();
    // In continuous mode a wake-up wait that ran out is no job: the next handset has not come
    // (and a cancel that came just as it ran out is a cancel of the wait).
    const bool noHandset = r.result == dwl::kNoHandsetResult && !r.identified;
    if (continuous && noHandset && !slot.cancel.cancelled()) continue;
    const bool cancelled = r.result.Family == dwl::RESULT_CANCELLED || (continuous && noHandset);
    {
      std::lock_guard lock(slot.mutex);
      slot.status.elapsed = seconds() - slot.jobStart;
    }
    if (cancelled && !r.identified) {
      stopped();
      break;
    }
    std::string text = r.message;
    if (const std::string cause = ops::failureText(r.detail); !cause.empty())
      text += " (" + cause + ")";
    const bool unreached = !r.identified && r.result.Family != dwl::RESULT_SUCCESS && !cancelled;
    const bool repeated = continuous && unreached && text == lastUnreached;
    lastUnreached = unreached ? text : std::string();
    if (repeated) {
      finish(SlotStage::Failed, text);
      if (!pause(slot.cancel, retryPause)) {
        stopped();
        break;
      }
      continue;
    }
    ops::JobRecord record = ops::recordOf("write", input, r, started, ended);
    record.operatorName = operatorName;
    record.station = stationName;
    record.recipeName = recipe_->name;
    record.recipeRevision = recipe_->revision;
    record.recipeSha256 = recipe_->checksum;
    record.serial = unit;
    std::string noSerial;
    if (!serialFormat.empty() && unit.empty() && r.identified && log_) {
      if (log_->database()) {
        record.serialFormat = serialFormat;  // numbered as the database takes the record
      } else if (std::uint64_t n = 0; !nextUnitNumber(*log_, serialFormat, &n, &noSerial)) {
        noSerial = "no serial number: " + noSerial;
      } else {
        SerialFormat format;
        parseSerialFormat(serialFormat, &format, nullptr);
        record.serial = formatSerial(format, n);
      }
    }
    if (r.identified) unit.clear();
    std::string why;
    std::string recordedSerial = record.serial;
    const bool recorded = !log_ || log_->append(record, &why, &recordedSerial);
    record.serial = recordedSerial;
    {
      std::lock_guard lock(slot.mutex);
      slot.status.serial = record.serial;
      slot.status.serialPending = recorded && record.serial.empty() && !record.serialFormat.empty();
    }
    if (jobEnded) jobEnded(slot.index, record, why);
    if (also) also->jobFinished(r);
    if (!recorded || !noSerial.empty()) {
      // The handset's own result stays in view beside the missing record or number.
      const bool passed = r.result.Family == dwl::RESULT_SUCCESS;
      std::lock_guard lock(slot.mutex);
      ++(passed ? slot.status.passes : slot.status.failures);
      slot.status.stage = SlotStage::Failed;
      slot.status.result = (passed ? std::string("passed") : text) + "; " +
                           (recorded ? noSerial : "not recorded: " + why);
      break;
    }
    {
      std::lock_guard lock(slot.mutex);
      if (cancelled) {
        slot.status.stage = SlotStage::Cancelled;
      } else if (r.result.Family == dwl::RESULT_SUCCESS) {
        slot.status.stage = SlotStage::Done;
        ++slot.status.passes;
      } else {
        slot.status.stage = SlotStage::Failed;
        ++slot.status.failures;
      }
      slot.status.result = text;
    }
    if (!cancelled) lastOutcome = r.result.Family == dwl::RESULT_SUCCESS ? std::string() : text;
    if (!continuous || cancelled) break;
    // Tried again after a pause rather than as fast as the port refuses.
    if (unreached && !pause(slot.cancel, retryPause)) {
      stopped();
      break;
    }
  }
  std::lock_guard lock(slot.mutex);
  slot.status.running = false;
}

}  // namespace station
