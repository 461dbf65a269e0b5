#include "apps/cli/line_commands.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "apps/cli/commands.h"
#include "apps/cli/outcome.h"
#include "engines/downloader/dwl3spm87.h"
#include "ops/job_report.h"
#include "ops/jsonl_progress.h"
#include "platform/replace_file.h"
#include "station/recipe_file.h"
#include "station/serial_counter.h"
#include "station/station.h"

#ifdef _WIN32
#include <cstdlib>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

const int kLocalFile = exitStatusOf({kFamilyLocalFile, 0});

std::string hostName() {
#ifdef _WIN32
  const char* name = std::getenv("COMPUTERNAME");
  return name ? name : "";
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
#endif
}

// The recipe's images as the options name them, with the data files the command line uses.
station::Recipe recipeOfOptions(const Options& o) {
  station::Recipe recipe;
  for (const auto& [slot, path] :
       {std::pair{dwl::Slot::Bin1, &o.bin1}, std::pair{dwl::Slot::Bin2, &o.bin2},
        std::pair{dwl::Slot::Ogm1, &o.ogm1}, std::pair{dwl::Slot::Ogm2, &o.ogm2}})
    if (!path->empty()) recipe.images.push_back({slot, inDirectory(o, *path)});
  recipe.model = o.model;
  recipe.speed = speedFor(o);
  recipe.productType = o.productType;
  recipe.waitStates = o.waitStates;
  recipe.pmu = o.pmu;
  recipe.verify = o.verify;
  recipe.flashPath = dataFile(o, "flash.txt");
  recipe.bootstrapPath = dataFile(o, "dwl87.spm");
  return recipe;
}

int refuse(std::ostream& err, const std::vector<std::string>& problems, int status) {
  for (const std::string& p : problems) err << "kelvane: " << p << '\n';
  return status;
}

}  // namespace

int runRecipeCreate(const Options& o, std::ostream& out, std::ostream& err) {
  station::Recipe recipe = recipeOfOptions(o);
  const std::string output = inDirectory(o, o.recipeOutput);
  recipe.name = o.recipeName.empty() ? std::filesystem::path(output).stem().string() : o.recipeName;
  recipe.revision = o.recipeRevision;
  if (recipe.name.empty() || recipe.revision.empty())
    return refuse(err, {"the recipe needs a name and a revision"}, kExitUsage);
  std::vector<std::string> problems;
  if (!station::pinImages(recipe, &problems)) return refuse(err, problems, kLocalFile);
  // A recipe that could not run is refused now, not on the line.
  if (!station::loadRecipe(recipe, &problems)) return refuse(err, problems, kLocalFile);
  const std::string folder = std::filesystem::path(output).parent_path().string();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  std::string why;
  if (!platform::replaceFile(output, station::recipeFileText(recipe, folder), &why))
    return refuse(err, {why}, kLocalFile);
  out << "Recipe " << recipe.name << " revision " << recipe.revision << " written to " << output
      << '\n';
  for (const station::RecipeImage& image : recipe.images)
    out << "  " << downloader::slotName(image.slot) << "  " << image.path << "  " << image.size
        << " bytes  sha256 " << image.sha256 << '\n';
  return 0;
}

int runStation(const Options& o, const Environment& env, std::ostream& out, std::ostream& err) {
  const std::string recipePath = inDirectory(o, o.recipe);
  station::Recipe recipe;
  std::vector<std::string> problems;
  if (!station::readRecipeFile(recipePath, &recipe, &problems))
    return refuse(err, problems, kLocalFile);
  recipe.flashPath = dataFile(o, "flash.txt");
  recipe.bootstrapPath = dataFile(o, "dwl87.spm");
  const auto loaded = station::loadRecipe(recipe, &problems);
  if (!loaded) {
    err << "kelvane: the recipe " << recipePath << " cannot run; nothing was started:\n";
    return refuse(err, problems, kLocalFile);
  }
  const std::string logPath = o.log.empty() ? ops::JobLog::defaultPath() : inDirectory(o, o.log);
  ops::JobLog log;
  std::string why;
  if (!log.open(logPath, &why)) return refuse(err, {why}, kLocalFile);
  if (const std::string waiting = log.warning(); !waiting.empty())
    err << "kelvane: " << waiting << '\n';

  const bool jsonl = o.progress == "jsonl";
  std::ostream& human = jsonl ? err : out;
  std::mutex outLock;
  station::LineFactory lines = station::serialPorts();
  if (env.newSerial)
    lines = [&env](const ops::PortRef&) {
      return station::Line{std::shared_ptr<platform::Rs232>(env.newSerial()), env.clock};
    };
  station::Station st(loaded, &log, lines);
  st.stopAll = env.cancel;
  st.operatorName = o.operatorName;
  st.stationName = o.stationName.empty() ? hostName() : o.stationName;
  // From the database or the counter file beside the log: every station writing to one log
  // counts on one counter.
  st.serialFormat = o.serialFormat;
  if (jsonl)
    st.progressFor = [&](const ops::PortRef& port) -> std::shared_ptr<dwl::ProgressSink> {
      return std::make_shared<ops::JsonlProgress>(
          [&](const std::string& line) {
            std::lock_guard hold(outLock);
            out << line << std::flush;
          },
          port.name);
    };
  std::optional<dwl::DownloadResult> firstFailure;
  st.jobEnded = [&](int, const ops::JobRecord& record, const std::string& notRecorded) {
    const bool success = record.result.result.Family == dwl::RESULT_SUCCESS;
    std::lock_guard hold(outLock);
    if (!success && !firstFailure) firstFailure = record.result.result;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", record.result.seconds);
    human << ops::isoUtc(record.ended) << "  " << record.port.name << "  "
          << (success                                                ? "passed"
              : record.result.result.Family == dwl::RESULT_CANCELLED ? "cancelled"
                                                                     : "FAILED")
          << "  " << seconds;
    if (!record.serial.empty())
      human << "  " << record.serial;
    else if (!record.serialFormat.empty() && notRecorded.empty())
      human << "  serial pending";
    if (record.result.identified && !record.result.handset.flashName.empty())
      human << "  " << record.result.handset.flashName;
    if (!success) {
      human << "  " << record.result.message;
      if (const std::string cause = ops::failureText(record.result.detail); !cause.empty())
        human << " (" << cause << ")";
    }
    if (!notRecorded.empty()) human << "  NOT RECORDED: " << notRecorded;
    human << '\n' << std::flush;
  };
  for (const std::string& port : o.ports) {
    if (st.addSlot(port, &why) < 0) return refuse(err, {"no slot for " + port + ": " + why}, 64);
  }
  {
    std::lock_guard hold(outLock);
    human << "Station " << (st.stationName.empty() ? "-" : st.stationName) << ", recipe "
          << recipe.name << " revision " << recipe.revision << " (sha256 " << recipe.checksum
          << "): " << station::recipeSummary(*loaded) << "\n"
          << st.slotCount() << (st.slotCount() == 1 ? " slot" : " slots")
          << (o.continuous ? ", continuous" : "") << "; job log " << logPath << '\n'
          << std::flush;
  }
  st.startAll(o.continuous);
  // The program's own loop, not a test's: a stop request reaches every slot within a tick.
  auto running = [&] {
    for (int i = 0; i < st.slotCount(); ++i)
      if (st.status(i).running) return true;
    return false;
  };
  bool stopped = false;
  while (running()) {
    if (env.cancel && env.cancel->cancelled() && !stopped) {
      st.cancelAll();
      stopped = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  st.waitAll();

  std::size_t width = 5;
  for (int i = 0; i < st.slotCount(); ++i) width = std::max(width, st.status(i).port.size() + 2);
  std::lock_guard hold(outLock);
  human << '\n' << std::string("Slot") + std::string(width - 4, ' ') << "passed  failed  last\n";
  int totalPassed = 0, totalFailed = 0;
  for (int i = 0; i < st.slotCount(); ++i) {
    const station::SlotStatus s = st.status(i);
    totalPassed += s.passes;
    totalFailed += s.failures;
    char figures[40];
    std::snprintf(figures, sizeof figures, "%6d  %6d  ", s.passes, s.failures);
    human << s.port << std::string(width - s.port.size(), ' ') << figures
          << station::stageText(s.stage) << (s.result.empty() ? "" : ": " + s.result) << '\n';
  }
  char figures[40];
  std::snprintf(figures, sizeof figures, "%6d  %6d\n", totalPassed, totalFailed);
  human << "Total" << std::string(width - 5, ' ') << figures << std::flush;
  if (log.failed()) {
    err << "kelvane: " << log.error() << '\n';
    return kLocalFile;
  }
  if (firstFailure) return exitStatusOf(*firstFailure);
  for (int i = 0; i < st.slotCount(); ++i)
    if (st.status(i).stage == station::SlotStage::Failed) return kLocalFile;  // a counter
  if (stopped && !o.continuous) return exitStatusOf({dwl::RESULT_CANCELLED, 0});
  return 0;
}

int runReport(const Options& o, std::ostream& out, std::ostream& err) {
  std::optional<ops::WallClock::time_point> since;
  if (!o.since.empty()) {
    since = ops::parseIsoUtc(o.since);
    if (!since) {
      err << "kelvane: --since takes a UTC time as the log writes it (2026-12-10T08:00:00Z) or a "
             "date (2026-12-10), not '"
          << o.since << "'\nRun with --help for more information.\n";
      return kExitUsage;
    }
  }
  ops::JobReport report;
  const auto now = ops::WallClock::now();
  for (const std::string& path : o.reportLogs) {
    std::string why;
    if (!ops::readIntoReport(report, inDirectory(o, path), since, now, &why))
      return refuse(err, {why}, kLocalFile);
  }
  out << (o.csv ? ops::reportCsv(report) : ops::reportText(report));
  return 0;
}

}  // namespace cli
