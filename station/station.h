// The production station's engine: one recipe, one slot per port, each slot a thread running the
// operation layer's jobs, in continuous mode one handset after another. No Qt Widgets: the window
// polls the slots' status.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dwl/dwl10fla.h"
#include "ops/job_log.h"
#include "ops/operations.h"
#include "platform/cancel.h"

namespace station {

struct RecipeImage {
  dwl::Slot slot = dwl::Slot::Bin1;
  std::string path;
  // The pin of a recipe file: the image's SHA-256 (hex) and size when the recipe was made. An
  // image whose bytes differ is refused; empty (the window's saved recipe): not pinned.
  std::string sha256 = {};
  std::uint64_t size = 0;
  bool operator==(const RecipeImage&) const = default;
};

// What the station offers beyond the speed table: the models of the CLI's --model (where the Ogm1
// image goes, see downloader::ogm1Address) and the wait states of the downloader's menu.
inline constexpr int kLastModel = 3;
inline constexpr int kLastWaitState = 4;
inline constexpr dwl::Slot kImageSlots[] = {dwl::Slot::Bin1, dwl::Slot::Bin2, dwl::Slot::Ogm1,
                                            dwl::Slot::Ogm2};

struct Recipe {
  std::vector<RecipeImage> images;
  int model = 0;
  int speed = 3;
  int productType = 2;
  std::array<std::uint8_t, 4> waitStates = {0, 0, 0, 0};
  bool pmu = false;
  bool verify = true;
  // A recipe file's name and revision, and the SHA-256 of the file's bytes: for the job log.
  std::string name, revision, checksum;
  std::string flashPath = "flash.txt";
  std::string bootstrapPath = "dwl87.spm";
  // Values of the place the recipe was read from that could not be taken (a hand-edited
  // settings file), by key: the recipe cannot run until they are set again.
  std::map<std::string, std::string> unreadable;
  bool operator==(const Recipe&) const = default;
};

// A recipe whose files were read and checked: what every slot's job is made from.
struct LoadedRecipe {
  std::unique_ptr<dwl::FlashDescriptionTable> flash;
  ops::WriteInput input;  // without a port
  std::string name, revision, checksum;
};

// Reads the recipe's files and checks that the images exist, are not empty, match their pins, fit
// in the flash and do not overlap. The pins are checked against the very bytes every slot writes.
// Null, with one line per problem, when the recipe cannot be run.
std::shared_ptr<const LoadedRecipe> loadRecipe(const Recipe& recipe,
                                               std::vector<std::string>* problems);
// One line for the operator: each image with its size, the model, the speed and its rate, verify.
std::string recipeSummary(const LoadedRecipe& recipe);

enum class SlotStage {
  Idle,
  Serial,   // waiting for the unit's serial number (scanned or typed) before the job
  Waiting,  // for a handset: the boot's wake-up wait
  Booting,
  Speed,
  Image,
  Verifying,
  SwitchingOff,
  Done,
  Failed,
  Cancelled,
};
// "idle", "waiting for a handset", "booting", ...
const char* stageText(SlotStage stage);

struct SlotStatus {
  std::string port, device;
  bool running = false;
  bool continuous = false;
  SlotStage stage = SlotStage::Idle;
  int image = 0, images = 0;  // image k of n
  std::string flash;          // the handset's flash, once identified
  std::uint64_t done = 0, total = 0;
  double elapsed = 0;  // seconds of the current or last job
  // Seconds from the first image's start to the last image's end (the boot left out); 0 before.
  double transferSeconds = 0;
  std::string result;  // the last job's message and cause; empty for success
  int passes = 0, failures = 0;
  // The serial number of the current or last job's unit; empty when it has none (yet).
  std::string serial;
  // The last job's unit waits for the number the database gives it once it takes the record.
  bool serialPending = false;
};

// What a slot's jobs talk through: the port, and the clock its waits run on (empty: the
// program's). Made on the slot's thread, as a port object may belong to the thread that made it.
struct Line {
  std::shared_ptr<platform::Rs232> serial;
  std::function<double()> clock;
};
using LineFactory = std::function<Line(const ops::PortRef&)>;
// The system's serial ports.
LineFactory serialPorts();

class Station {
 public:
  // log may be null (no log kept).
  Station(std::shared_ptr<const LoadedRecipe> recipe, ops::JobLog* log, LineFactory lines);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // A slot for a port ("COM4", "4", a device path); -1 with the reason for a bad name.
  int addSlot(const std::string& port, std::string* why = nullptr);
  int slotCount() const { return static_cast<int>(slots_.size()); }

  // Starts a slot that is not running; false when it is, when the log has failed, or when the
  // station has no recipe (the one it was given could not be loaded).
  bool start(int slot, bool continuous);
  void startAll(bool continuous);
  void cancel(int slot);
  void cancelAll();
  // Waits until the slot's thread has ended.
  void wait(int slot);
  void waitAll();

  // Gives the serial number of the next unit to a slot that waits for one (spaces around it
  // dropped). False with the reason: an empty number, a slot that does not wait for one.
  bool enterSerial(int slot, const std::string& serial, std::string* why = nullptr);

  SlotStatus status(int slot) const;
  // Why no job may start: the log's failure; empty while jobs may start.
  std::string stopReason() const;

  // Monotonic seconds for elapsed times; the steady clock unless a test sets it before starting.
  std::function<double()> seconds;
  // Who and where, for every record: the operator's name and the station's (empty: left out).
  std::string operatorName, stationName;
  // Each unit's serial number from a counter of this format ("LINE{n:05}"; empty: none), for a
  // job that reached a handset: given by the job log's database in the transaction that stores
  // the record (later, when the record has to wait for the database), else taken from the
  // counter file beside the log when the job ends. A counter file that cannot be used stops the
  // slot after its record, which goes without a number.
  std::string serialFormat;
  // Each job waits for its unit's serial number (SlotStage::Serial) until enterSerial gives one;
  // the number stays for the next try after a job that never reached a handset.
  bool askSerial = false;
  // Gets each finished job's record on the slot's thread, with why it is not in the log (empty
  // when it is).
  std::function<void(int slot, const ops::JobRecord& record, const std::string& notRecorded)>
      jobEnded;
  // Another sink for the events of a slot's jobs (JSON Lines of the command line); may be null.
  // Its jobFinished comes for the jobs that get a record only, after jobEnded.
  std::function<std::shared_ptr<dwl::ProgressSink>(const ops::PortRef&)> progressFor;
  // A stop of the whole station (a signal), seen by every slot before each job; a job under way
  // stops on cancelAll.
  const platform::CancelToken* stopAll = nullptr;
  // Set these before starting a slot.

  // In continuous mode, the wait before the next try after a job that never reached a handset
  // (an adapter unplugged): the port is tried again, not hammered, and the same failure again is
  // neither logged nor counted.
  double retryPause = 2.0;

 private:
  struct Slot;
  void run(Slot& slot);

  std::shared_ptr<const LoadedRecipe> recipe_;
  ops::JobLog* log_;
  LineFactory lines_;
  std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace station
