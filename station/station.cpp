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
  for (const ops::ImageProblem& problem : unloaded) found.push_back(problem.text);

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
  ops::PortRef port;
  mutable std::mutex mutex;
  SlotStatus status;
  double jobStart = 0;
  platform::CancelToken cancel;
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

SlotStatus Station::status(int index) const {
  const Slot& slot = *slots_.at(index);
  std::lock_guard lock(slot.mutex);
  SlotStatus s = slot.status;
  const bool inJob = s.running && s.stage != SlotStage::Done && s.stage != SlotStage::Failed &&
                     s.stage != SlotStage::Cancelled;
  if (inJob) s.elapsed = seconds() - slot.jobStart;
  return s;
}

void Station::run(Slot& slot) {
  const Line line = lines_(slot.port);
  SlotProgress progress(slot.mutex, slot.status, line.clock ? line.clock : seconds);
  ops::Context context;
  context.serial = line.serial.get();
  context.progress = &progress;
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
  auto stopped = [&] {
    if (!lastOutcome)
      finish(SlotStage::Cancelled, ops::resultText(dwl::kCancelledResult));
    else
      finish(lastOutcome->empty() ? SlotStage::Done : SlotStage::Failed, *lastOutcome);
  };
  while (true) {
    if (const std::string why = stopReason(); !why.empty()) {
      finish(SlotStage::Failed, why);
      break;
    }
    {
      std::lock_guard lock(slot.mutex);
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
    std::string why;
    if (log_ && !log_->append(ops::recordOf("write", input, r, started, ended), &why)) {
      // The handset's own result stays in view beside the missing record.
      const bool passed = r.result.Family == dwl::RESULT_SUCCESS;
      std::lock_guard lock(slot.mutex);
      ++(passed ? slot.status.passes : slot.status.failures);
      slot.status.stage = SlotStage::Failed;
      slot.status.result = (passed ? std::string("passed") : text) + "; not recorded: " + why;
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
