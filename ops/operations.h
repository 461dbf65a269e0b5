// The jobs every front end runs the same way: write (with an optional read-back), verify, dump,
// erase and info. Each takes one input value and the collaborators it reports to, reads and
// writes no program global, and returns one result; jobs on different ports can run at once on
// different threads, each with its own port implementation.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "dwl/dwl_context.h"
#include "dwl/dwl_job.h"
#include "dwl/dwl_window.h"
#include "platform/data_files.h"

namespace platform {
class CancelToken;
class Rs232;
}  // namespace platform

namespace dwl {
struct FlashDescriptionTable;
}

namespace ops {

using dwl::JobResult;

// A port as the user named it, resolved once: "4" and "COM4" give COM number 4 and the device it
// is mapped to; a device path is used as it is, under COM number kPathPort.
struct PortRef {
  std::string name;    // as typed
  int number = 0;      // the COM number the library addresses it by
  std::string device;  // what is opened
};
inline constexpr int kPathPort = 1;
// false, with the reason, for a number outside 1..255 or an empty name.
bool resolvePort(const std::string& typed, PortRef* port, std::string* why);
// "COM4 (/dev/ttyS3)", or the device alone when that is what was typed.
std::string describePort(const PortRef& port);

// The words of a failure's cause, for every front end: "port COM4 (/dev/ttyUSB0), sector 12 at
// 0x010C0000", "the handset stopped answering", and both joined by ": ".
// (The reason's words are dwl::reasonText.)
std::string failureObjectText(const dwl::FailureObject& object);
std::string failureText(const dwl::FailureDetail& detail);

// What every job shares.
struct LinkInput {
  PortRef port;
  int speed = 3;  // index into the program's speed table
  int productType = 2;
  std::array<std::uint8_t, 4> waitStates = {0, 0, 0, 0};
  bool pmu = false;
  // Empty: dwl87.spm of the working directory, else of the context's data folders.
  std::string bootstrapPath;
  // The flash descriptions (flash.txt) the geometry and the flash's name come from. Required for
  // write, verify and info; dump and erase work on the dumper's fixed map without them.
  const dwl::FlashDescriptionTable* flash = nullptr;
};

// Where a job reports and what it runs on. Only serial is required.
struct Context {
  platform::Rs232* serial = nullptr;
  dwl::ProgressSink* progress = nullptr;  // the job's events (every front end)
  const platform::CancelToken* cancel = nullptr;
  // Monotonic seconds for this job's time-outs; empty: the monotonic clock.
  std::function<double()> clock;
  // Searched after the working directory for dwl87.spm when the input names no bootstrap.
  platform::DataFolders dataFolders;
};

struct Image {
  dwl::Slot slot = dwl::Slot::Bin1;
  std::string path;                 // for messages and the progress stage's name
  std::vector<std::uint8_t> bytes;  // the file's bytes
};

// The downloader's File mode: which images a write sends. The values are the record's Mode.
enum class FileMode { BinAndOgm = 0, BinOnly = 1, OgmOnly = 2 };

struct WriteInput {
  LinkInput link;
  int model = 0;
  FileMode mode = FileMode::BinOnly;
  std::vector<Image> images;  // at most one per slot
  bool verify = false;        // read every image back before the switch-off
  // The downloader's download type (config.txt). Only 0 writes; any other boots, writes nothing
  // and ends with {RESULT_DOWNLOAD_ERROR, 0}, the handset left on. The command line keeps 0.
  int downloadType = 0;
};

// The File mode that writes every image given; none without images.
std::optional<FileMode> fileModeOf(bool bins, bool ogms);
// The File mode of a record's Mode value; none for a value the ring does not have.
std::optional<FileMode> fileModeOfRecord(std::int32_t mode);

// An image a front end names: a file to read, or bytes it already holds (the downloader's record).
struct ImageSource {
  dwl::Slot slot = dwl::Slot::Bin1;
  std::string path;
  std::optional<std::span<const std::uint8_t>> bytes;  // none: read path
};

// What every front end chooses for a write; the images come apart.
struct WriteSettings {
  LinkInput link;
  int model = 0;
  // The File mode the user set (the downloader's window); none: the mode that writes every image
  // given (the command line, the station).
  std::optional<FileMode> mode;
  bool verify = false;
  int downloadType = 0;
};

// An image that could not be taken: the PC library code of a file that cannot be read (0 for a
// second image of a slot) and the text that says so, naming the image.
struct ImageProblem {
  dwl::ResultCode code = 0;
  std::string text;
};

// The write input of every front end: the settings, the images read (an unreadable one or a
// second one of a slot is listed in problems and left out) and the File mode.
WriteInput makeWriteInput(const WriteSettings& settings, const std::vector<ImageSource>& images,
                          std::vector<ImageProblem>* problems);

// True when a write of this input sends the slot's image: the file mode's slots, and none at all
// for a download type other than 0.
bool writesSlot(const WriteInput& input, dwl::Slot slot);

// Sectors first..last, both included.
struct SectorRange {
  int first = 0, last = 0;
};

struct DumpInput {
  LinkInput link;
  // Either map sectors or, without them, a byte range of the flash.
  std::optional<SectorRange> sectors;
  std::uint32_t offset = 0, length = 0;
  std::string output;  // a regular file (appended to) or a new one
};

// Whose rules an erase follows.
enum class EraseRules {
  // The command line's: the fixed map on the flash 0x01:0x7E, on any other flash the sectors of
  // its description in link.flash (refused without one); a sector whose check fails fails the
  // job, which leaves the handset on.
  CommandLine,
  // The dumper's: the fixed map whatever flash the boot accepted, no flash.txt; a sector whose
  // check fails shows its box and is listed, and the walk ends as a whole one does (switch-off,
  // success).
  Dumper,
};

struct EraseInput {
  LinkInput link;
  // Sectors of the dumper's fixed map (the whole flash is 0..267), or of the other flash's
  // description (EraseRules::CommandLine).
  int firstSector = 0, lastSector = 0;
  // Range: the sectors above. WholeDescribedFlash: on a described flash other than 0x01:0x7E,
  // every sector of it (the range is then ignored); on the fixed map's flash, the range.
  enum class Extent { Range, WholeDescribedFlash } extent = Extent::Range;
  EraseRules rules = EraseRules::CommandLine;
};

struct InfoInput {
  LinkInput link;
};

// The shared settings of a program's record (a GUI's), with the port its COM number maps to.
LinkInput linkFromRecord(const dwl::SharedContext& record);
// What a program that runs one job at a time (a window) hands each of its jobs: the port it
// installed at start (a test's scripted port or emulated handset), the clock of its waits and the
// folders it finds its data files in.
struct ProgramSettings {
  platform::Rs232* serial = nullptr;
  std::function<double()> clock;  // empty: the monotonic clock
  platform::DataFolders dataFolders;
};
// A job of a program that runs one at a time on its installed port (the GUIs).
Context programContext(const ProgramSettings& settings, dwl::ProgressSink& progress,
                       const platform::CancelToken& cancel);

// What makes a write impossible before the handset is even booted, among the images it writes:
// an empty image (a download that writes nothing must not report success), an Ogm1 image on a
// model without its place, two images that overlap. Empty when the input is sound.
std::string checkWrite(const WriteInput& input);

JobResult write(const WriteInput& input, const Context& context);
// Boots and reads the images back, writing nothing.
JobResult verify(const WriteInput& input, const Context& context);
JobResult dump(const DumpInput& input, const Context& context);
JobResult erase(const EraseInput& input, const Context& context);
JobResult info(const InfoInput& input, const Context& context);

// The text a result shows: its window's fixed text, or a sentence of ours for the results that
// have no window text (the boot time-out, a verify difference, a cancel). Empty for success.
std::string resultText(const dwl::DownloadResult& result);

// Reads an image file for a slot, refusing from its size alone an image larger than the largest
// flash described: the image, or the PC library code and the reason (naming the file).
std::variant<Image, ImageProblem> loadImage(dwl::Slot slot, const std::string& path,
                                            const dwl::FlashDescriptionTable* flash);

}  // namespace ops
