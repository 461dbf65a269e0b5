#include "apps/cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "dwl/dwl10fla.h"
#include "engines/downloader/dwl3spm87.h"
#include "platform/data_files.h"
#include "platform/input_file.h"
#include "platform/port_map.h"
#include "platform/rs232.h"
#include "platform/serial_devices.h"

namespace cli {

namespace {

ops::LinkInput linkOf(const Run& run, const dwl::FlashDescriptionTable* flash) {
  const Options& o = run.options;
  ops::LinkInput link;
  link.port = run.port;
  link.speed = speedFor(o);
  link.productType = o.productType;
  link.waitStates = o.waitStates;
  link.pmu = o.pmu;
  link.bootstrapPath = dataFile(o, "dwl87.spm");
  link.flash = flash;
  return link;
}

// flash.txt's descriptions when it can be read; null otherwise (jobs that do not need them).
std::unique_ptr<dwl::FlashDescriptionTable> optionalFlash(const Options& o) {
  auto table = std::make_unique<dwl::FlashDescriptionTable>();
  if (dwl::loadFlashDescription(dataFile(o, "flash.txt"), *table) != dwl::kOk) table.reset();
  return table;
}

ops::Context contextOf(const Run& run) {
  ops::Context context;
  context.serial = &run.serial;
  context.progress = run.progress ? run.progress : &run.display;
  context.cancel = run.cancel;
  context.clock = run.clock;
  return context;
}

// Runs one job, with its line in the job log when one is kept.
template <class Input, class Job>
dwl::JobResult logged(const Run& run, const char* name, const Input& input, Job job) {
  const auto started = ops::WallClock::now();
  const dwl::JobResult r = job(input, contextOf(run));
  if (run.log) run.log->append(ops::recordOf(name, input, r, started, ops::WallClock::now()));
  return r;
}

// The outcome a job's result makes.
Outcome outcomeOf(const dwl::JobResult& r) {
  Outcome outcome;
  outcome.result = r.result;
  outcome.message = r.message;
  outcome.detail = ops::failureText(r.detail);
  if (r.identified) {
    outcome.flash.identified = true;
    outcome.flash.manufacturer = r.handset.manufacturer;
    outcome.flash.device = r.handset.device;
    outcome.flash.name = r.handset.flashName;
  }
  outcome.bytesWritten = r.bytesWritten;
  outcome.sectors = r.sectors;
  outcome.failedSectors = r.failedSectors;
  outcome.verified = r.verified;
  outcome.seconds = r.seconds;
  return outcome;
}

// flash.txt of the working directory, which the write, verify and info need before anything is
// sent. false with the outcome filled when it cannot be had.
bool loadDescriptions(const Run& run, dwl::FlashDescriptionTable& table, Outcome& outcome) {
  const std::string path = dataFile(run.options, "flash.txt");
  std::string failure;
  const dwl::ResultCode rc = dwl::loadFlashDescription(path, table, &failure);
  if (rc == dwl::kOk) return true;
  outcome.result = {dwl::RESULT_FLASH_FILE, rc};
  outcome.message = ops::resultText(outcome.result);
  if (rc == 2 && !failure.empty()) {
    outcome.detail = failure;
  } else {
    // The commonest cause of a refused description: a file saved with LF line endings.
    std::vector<std::uint8_t> bytes;
    platform::readInputFile(path, dwl::kMaxFlashFileSize, &bytes);
    const bool lf = std::find(bytes.begin(), bytes.end(), '\n') != bytes.end() &&
                    std::find(bytes.begin(), bytes.end(), '\r') == bytes.end();
    outcome.detail = path + (lf ? ": its lines end with LF alone; they must end with CR LF"
                                : ": see the parameter the message names");
  }
  return false;
}

// A job on the dumper's fixed map (dump, erase). flash.txt, when there is one, names the flash
// or gives the sectors of a flash other than the map's; success is said in the job's own words.
template <class Input, class Job, class Said>
Outcome runOnMap(const Run& run, const char* name, Input& input, Job job, Said said) {
  const auto table = optionalFlash(run.options);
  input.link = linkOf(run, table.get());
  const Outcome outcome = outcomeOf(logged(run, name, input, job));
  if (outcome.result.Family == dwl::RESULT_SUCCESS && !run.options.json) run.out << said(outcome);
  return outcome;
}

}  // namespace

std::string inDirectory(const Options& options, const std::string& path) {
  if (options.directory.empty() || path.empty() || path.front() == '/') return path;
  return (std::filesystem::path(options.directory) / path).string();
}

std::string dataFile(const Options& options, const std::string& name) {
  return options.directory.empty() ? platform::dataFilePath(name, options.dataFolders)
                                   : inDirectory(options, name);
}

Outcome runInfo(const Run& run) {
  auto table = std::make_unique<dwl::FlashDescriptionTable>();
  Outcome outcome;
  if (!loadDescriptions(run, *table, outcome)) return outcome;
  ops::InfoInput input;
  input.link = linkOf(run, table.get());
  const dwl::JobResult r = logged(run, "info", input, ops::info);
  outcome = outcomeOf(r);
  if (r.result.Family == dwl::RESULT_SUCCESS && !run.options.json) run.out << "Switched off\n";
  return outcome;
}

Outcome runWrite(const Run& run) {
  const Options& o = run.options;
  auto table = std::make_unique<dwl::FlashDescriptionTable>();
  Outcome outcome;
  if (!loadDescriptions(run, *table, outcome)) return outcome;

  ops::WriteSettings settings;
  settings.link = linkOf(run, table.get());
  settings.model = o.model;
  settings.verify = o.verify;
  std::vector<ops::ImageSource> sources;
  for (const auto& [slot, path] :
       {std::pair{dwl::Slot::Bin1, &o.bin1}, std::pair{dwl::Slot::Bin2, &o.bin2},
        std::pair{dwl::Slot::Ogm1, &o.ogm1}, std::pair{dwl::Slot::Ogm2, &o.ogm2}})
    if (!path->empty()) sources.push_back({slot, inDirectory(o, *path), {}});
  std::vector<ops::ImageProblem> problems;
  const ops::WriteInput input = ops::makeWriteInput(settings, sources, &problems);
  if (!problems.empty()) {
    outcome.result = {dwl::RESULT_LIB_PC, problems.front().code};
    outcome.message = ops::resultText(outcome.result);
    outcome.detail = problems.front().text;
    return outcome;
  }
  // Images that cannot be written as given are the command line's mistake: refused before the
  // handset is even booted.
  if (const std::string why = ops::checkWrite(input); !why.empty()) {
    outcome.result = {kFamilyUsage, 0};
    outcome.message = "kelvane: " + why;
    return outcome;
  }

  outcome = outcomeOf(logged(run, "write", input, ops::write));
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
  ops::DumpInput input;
  if (o.byteRange) {
    input.offset = o.offset;
    input.length = o.length;
  } else {
    input.sectors = ops::SectorRange{o.first, o.last};
  }
  input.output = inDirectory(o, o.output);
  return runOnMap(run, "dump", input, ops::dump, [&](const Outcome& outcome) {
    char range[64];
    if (o.byteRange)
      std::snprintf(range, sizeof range, "bytes 0x%06X..0x%06X", o.offset, o.offset + o.length - 1);
    else
      std::snprintf(range, sizeof range, "sectors %d..%d", o.first, o.last);
    return "Dumped " + std::string(range) + ": " + std::to_string(outcome.bytesWritten) +
           " bytes appended to " + input.output + "\n";
  });
}

Outcome runErase(const Run& run) {
  const Options& o = run.options;
  ops::EraseInput input;
  input.firstSector = o.first;
  input.lastSector = o.last;
  if (o.all) input.extent = ops::EraseInput::Extent::WholeDescribedFlash;
  return runOnMap(run, "erase", input, ops::erase, [&](const Outcome&) {
    return "Erased sectors " + std::to_string(o.first) + ".." + std::to_string(o.last) + "\n";
  });
}

int runPorts(const Options& o, std::ostream& out) {
  // COM1..COM4 are the numbers the programs offer; higher ones appear when mapped.
  std::map<int, std::string> mapped;
  const std::map<int, std::string> saved = platform::savedPortMap();
  for (int n = 1; n <= 255; ++n) {
    const char* value = std::getenv(("KELVANE_COM" + std::to_string(n)).c_str());
    if (n <= 4 || saved.count(n) || (value && *value)) mapped[n] = platform::deviceForPort(n);
  }
  auto source = [](int n) {
    switch (platform::portSource(n)) {
      case platform::PortSource::Environment:
        return "environment";
      case platform::PortSource::Saved:
        return "saved";
      default:
        return "default";
    }
  };
  const auto present = platform::serialDevices();
  auto exists = [](const std::string& device) {
    std::error_code ec;
    return std::filesystem::exists(device, ec);
  };
  if (o.json) {
    nlohmann::json com = nlohmann::json::array();
    for (const auto& [n, device] : mapped)
      com.push_back(nlohmann::json{{"port", platform::comName(n)},
                                   {"device", device},
                                   {"source", source(n)},
                                   {"present", exists(device)}});
    nlohmann::json devices = nlohmann::json::array();
    for (const platform::SerialDevice& info : present)
      devices.push_back({{"device", info.device}, {"description", info.description}});
    out << jsonText(nlohmann::json{{"com", com}, {"devices", devices}}) << '\n';
    return 0;
  }
  out << "COM mapping (choose a device with a window's Device... button, kept in "
      << platform::portMapPath().string() << "; KELVANE_COMn overrides it):\n";
  for (const auto& [n, device] : mapped)
    out << "  " << platform::comName(n) << "\t" << device << "\t(" << source(n)
        << (exists(device) ? "" : ", not present") << ")\n";
  out << "Serial devices present:\n";
  if (present.empty()) out << "  none\n";
  for (const platform::SerialDevice& info : present) {
    out << "  " << info.device;
    if (!info.description.empty()) out << "\t" << info.description;
    out << '\n';
  }
  return 0;
}

}  // namespace cli
