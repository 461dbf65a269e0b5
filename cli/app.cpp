#include "cli/app.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/commands.h"
#include "cli/multi_port.h"
#include "cli/outcome.h"
#include "cli/terminal_display.h"
#include "cli/trace_rs232.h"
#include "ops/jsonl_progress.h"
#include "ops/operations.h"
#include "platform/append_file.h"

namespace cli {

namespace {}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env) {
  // Known before parsing, so that a command line that does not parse still answers in JSON.
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::string(argv[i]) == "--json";
  std::string portName = "COM4";
  // Every exit that runs no job: the reason on standard error, and the JSON when asked for.
  auto refuse = [&](int family, const std::string& text) {
    Outcome outcome;
    outcome.port = portName;
    outcome.result = {family, 0};
    outcome.message = text;
    err << "kelvane: " << text << '\n';
    if (json) out << jsonText(toJson(outcome)) << '\n';
    out.flush();
    err.flush();
    return exitStatusOf(outcome.result);
  };

  ParseOutcome parsed = parseArguments(argc, argv);
  if (parsed.exitStatus && *parsed.exitStatus == 0) {
    out << parsed.text;
    return 0;
  }
  if (parsed.exitStatus) {
    if (!json) {
      err << parsed.text;
      return *parsed.exitStatus;
    }
    std::string text = parsed.text;
    if (text.rfind("kelvane: ", 0) == 0) text.erase(0, 9);
    text = text.substr(0, text.find('\n'));
    return refuse(kFamilyUsage, text);
  }
  const Options& o = parsed.options;
  if (!o.ports.empty()) portName = o.ports.front();

  if (o.ports.size() > 1 && o.command != Command::Ports) {
    const std::vector<std::string> args(argv, argv + argc);
    return runSeveralPorts(args, o, env.self, out, err);
  }
  if (!o.directory.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(o.directory, ec))
      return refuse(kFamilyLocalFile, "cannot work in " + o.directory + ": " +
                                          (ec ? ec.message() : std::string("not a directory")));
  }
  if (o.command == Command::Ports) return runPorts(o, out);

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
  if (!o.log.empty() && !log.open(inDirectory(o, o.log), &why)) {
    err << "kelvane: " << why << '\n';
    return kExitUsage;
  }
  std::unique_ptr<ops::JsonlProgress> jsonl;
  if (o.progress == "jsonl")
    jsonl = std::make_unique<ops::JsonlProgress>(
        [&out](const std::string& line) { out << line << std::flush; }, port.name);

  // With --json or JSON Lines, standard output holds the JSON alone; everything for people goes
  // to stderr.
  const bool machine = o.json || jsonl;
  std::ostream& human = machine ? err : out;
  const bool terminal = machine ? env.stderrTerminal : env.stdoutTerminal;
  TerminalDisplay display(human, err, terminal, o.quiet);
  Outcome outcome;
  {
    const Run run{o,     port,       *serial,     display,
                  human, env.cancel, jsonl.get(), o.log.empty() ? nullptr : &log};
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
  // A trace that lost bytes (a full disk) is no trace: the command fails rather than hide it.
  if (traceFile.is_open()) {
    traceFile.flush();
    if (!traceFile && outcome.result.Family == dwl::RESULT_SUCCESS) {
      outcome.result = {kFamilyLocalFile, 0};
      outcome.message = "the trace " + tracePath + " could not be written whole";
    }
  }

  const std::string text = jsonText(toJson(outcome));
  if (o.json) out << text << '\n';
  if (!o.jsonFile.empty()) std::ofstream(o.jsonFile) << text << '\n';
  err << errorText(outcome);
  if (log.failed()) err << "kelvane: " << log.error() << '\n';
  out.flush();
  err.flush();
  const int status = exitStatusOf(outcome.result);
  return status == 0 && log.failed() ? 1 : status;
}

}  // namespace cli
