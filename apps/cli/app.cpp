#include "apps/cli/app.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "apps/cli/commands.h"
#include "apps/cli/line_commands.h"
#include "apps/cli/multi_port.h"
#include "apps/cli/outcome.h"
#include "apps/cli/terminal_display.h"
#include "apps/cli/trace_rs232.h"
#include "ops/jsonl_progress.h"
#include "ops/operations.h"
#include "platform/append_file.h"

namespace cli {

namespace {

// What must be known before parsing, so that a command line that does not parse still answers
// as asked: JSON, JSON Lines, and the port as given.
struct Early {
  bool json = false;
  bool jsonl = false;
  std::string port = "COM4";
};

Early earlyLook(int argc, const char* const* argv) {
  Early e;
  bool portSeen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    e.json = e.json || a == "--json";
    e.jsonl = e.jsonl || a == "--progress=jsonl" ||
              (a == "--progress" && more && std::string(argv[i + 1]) == "jsonl");
    if (portSeen) continue;
    if (a == "--port" && more) {
      e.port = argv[i + 1];
      portSeen = true;
    } else if (a.rfind("--port=", 0) == 0) {
      e.port = a.substr(7);
      portSeen = true;
    }
  }
  return e;
}

dwl::JobResult jobResultOf(const Outcome& o) {
  dwl::JobResult r;
  r.result = o.result;
  r.message = o.message.empty() ? outcomeMessage(o.result) : o.message;
  r.detail.reason = dwl::stated(o.detail);
  r.bytesWritten = o.bytesWritten;
  r.sectors = o.sectors;
  r.verified = o.verified;
  r.seconds = o.seconds;
  return r;
}

}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env) {
  const Early early = earlyLook(argc, argv);
  std::string portName = early.port;
  std::unique_ptr<ops::JsonlProgress> jsonl;
  if (early.jsonl)
    jsonl = std::make_unique<ops::JsonlProgress>(
        [&out](const std::string& line) { out << line << std::flush; }, portName);

  // The last word of every exit: the JSON and the finished event when asked for, then the check
  // that standard output took them (a full disk, a pipe whose reader left).
  auto answer = [&](const Outcome& outcome, int status) {
    if (env.result) *env.result = outcome;
    if (env.answered) *env.answered = true;
    if (early.json) out << jsonText(toJson(outcome)) << '\n';
    if (jsonl) jsonl->jobFinished(jobResultOf(outcome));
    out.flush();
    if ((early.json || jsonl) && !out) {
      err << "kelvane: the result could not be written to standard output\n";
      if (status == 0) status = exitStatusOf({kFamilyLocalFile, 0});
    }
    err.flush();
    return status;
  };
  // Every exit that runs no job: the reason on standard error, and the JSON when asked for.
  auto refuse = [&](int family, const std::string& text) {
    Outcome outcome;
    outcome.port = portName;
    outcome.result = {family, 0};
    outcome.message = text;
    err << "kelvane: " << text << '\n';
    return answer(outcome, exitStatusOf(outcome.result));
  };

  ParseOutcome parsed = parseArguments(argc, argv);
  if (parsed.exitStatus && *parsed.exitStatus == 0) {
    out << parsed.text;
    return 0;
  }
  if (parsed.exitStatus) {
    if (!early.json && !jsonl) {
      err << parsed.text;
      return *parsed.exitStatus;
    }
    std::string text = parsed.text;
    if (text.rfind("kelvane: ", 0) == 0) text.erase(0, 9);
    text = text.substr(0, text.find('\n'));
    return refuse(kFamilyUsage, text);
  }
  parsed.options.dataFolders = env.dataFolders;
  const Options& o = parsed.options;
  if (!o.ports.empty()) portName = o.ports.front();

  const bool ofTheLine = o.command == Command::RecipeCreate || o.command == Command::Station ||
                         o.command == Command::Report;
  if (o.ports.size() > 1 && o.command != Command::Ports && !ofTheLine) {
    const std::vector<std::string> args(argv, argv + argc);
    return runSeveralPorts(args, o, env, out, err);
  }
  if (!o.directory.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(o.directory, ec))
      return refuse(kFamilyLocalFile, "cannot work in " + o.directory + ": " +
                                          (ec ? ec.message() : std::string("not a directory")));
  }
  if (o.command == Command::Ports) return runPorts(o, out);
  if (o.command == Command::RecipeCreate) return runRecipeCreate(o, out, err);
  if (o.command == Command::Station) return runStation(o, env, out, err);
  if (o.command == Command::Report) return runReport(o, out, err);

  ops::PortRef port;
  std::string why;
  if (!ops::resolvePort(portName, &port, &why)) return refuse(kFamilyUsage, why);

  platform::Rs232* serial = env.serial;
  std::ofstream traceFile;
  std::unique_ptr<TraceRs232> trace;
  const std::string tracePath = o.trace.empty() ? std::string() : inDirectory(o, o.trace);
  if (!tracePath.empty()) {
    // The trace replaces a file of its own; it never follows a link to truncate another one.
    if (std::string bad; !platform::replaceableFile(tracePath, &bad))
      return refuse(kFamilyLocalFile, "the trace " + tracePath + " " + bad);
    traceFile.open(tracePath, std::ios::out | std::ios::trunc);
    if (!traceFile)
      return refuse(kFamilyLocalFile,
                    "cannot write the trace " + tracePath + ": " + std::strerror(errno));
    trace = std::make_unique<TraceRs232>(*serial, traceFile);
    serial = trace.get();
  }

  ops::JobLog log;
  if (!o.log.empty() && !log.open(inDirectory(o, o.log), &why))
    return refuse(kFamilyLocalFile, why);
  // The command's one finished event comes once the job log and the trace have had their say,
  // with the result the exit status reports.
  std::unique_ptr<dwl::ProgressWithoutEnd> events;
  if (jsonl) events = std::make_unique<dwl::ProgressWithoutEnd>(jsonl.get());

  // With --json or JSON Lines, standard output holds the JSON alone; everything for people goes
  // to stderr.
  const bool machine = o.json || jsonl;
  std::ostream& human = machine ? err : out;
  const bool terminal = machine ? env.stderrTerminal : env.stdoutTerminal;
  TerminalDisplay display(human, err, terminal, o.quiet);
  Outcome outcome;
  {
    const Run run{o,        port,       *serial,      display,
                  human,    env.cancel, events.get(), o.log.empty() ? nullptr : &log,
                  env.clock};
    switch (o.command) {
      case Command::Info:
        outcome = runInfo(run);
        break;
      case Command::Write:
        outcome = runWrite(run);
        break;
      case Command::Dump:
        outcome = runDump(run);
        break;
      case Command::Erase:
        outcome = runErase(run);
        break;
      default:
        break;
    }
    display.endStage();
  }
  outcome.port = port.name;
  // A trace that lost bytes (a full disk) is no trace, and a job the log could not record is no
  // success: the command fails rather than hide it.
  const bool succeeded = outcome.result.Family == dwl::RESULT_SUCCESS;
  if (traceFile.is_open()) {
    traceFile.flush();
    if (!traceFile && succeeded) {
      outcome.result = {kFamilyLocalFile, 0};
      outcome.message = "the trace " + tracePath + " could not be written whole";
    }
  }
  if (log.failed() && succeeded && outcome.result.Family == dwl::RESULT_SUCCESS) {
    outcome.result = {kFamilyLocalFile, 0};
    outcome.message = log.error();
  }

  err << errorText(outcome);
  // A failed job's own message comes first; the log's failure is said after it.
  if (log.failed() && !succeeded) err << "kelvane: " << log.error() << '\n';
  return answer(outcome, exitStatusOf(outcome.result));
}

}  // namespace cli
