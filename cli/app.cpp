#include "cli/app.h"

#include <unistd.h>

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

namespace cli {

namespace {

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env) {
  ParseOutcome parsed = parseArguments(argc, argv);
  if (parsed.exitStatus) {
    (*parsed.exitStatus == 0 ? out : err) << parsed.text;
    return *parsed.exitStatus;
  }
  const Options& o = parsed.options;

  if (o.ports.size() > 1 && o.command != Command::Ports) {
    const std::vector<std::string> args(argv, argv + argc);
    return runSeveralPorts(args, o, env.self, out, err);
  }
  if (!o.directory.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(o.directory, ec)) {
      err << "kelvane: cannot work in " << o.directory << ": "
          << (ec ? ec.message() : std::string("not a directory")) << '\n';
      return kExitUsage;
    }
  }
  if (o.command == Command::Ports) return runPorts(o, out);

  ops::PortRef port;
  std::string why;
  if (!ops::resolvePort(o.ports.empty() ? "COM4" : o.ports.front(), &port, &why)) {
    err << "kelvane: " << why << '\n';
    return kExitUsage;
  }

  platform::Rs232* serial = env.serial;
  std::ofstream traceFile;
  std::unique_ptr<TraceRs232> trace;
  if (!o.trace.empty()) {
    const std::string tracePath = inDirectory(o, o.trace);
    traceFile.open(tracePath, std::ios::out | std::ios::trunc);
    if (!traceFile) {
      err << "kelvane: cannot write the trace " << tracePath << ": " << std::strerror(errno)
          << '\n';
      return kExitUsage;
    }
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

  const std::string json = jsonText(toJson(outcome));
  if (o.json) out << json << '\n';
  if (o.jsonFd >= 0) writeAll(o.jsonFd, json + "\n");
  err << errorText(outcome);
  if (log.failed()) err << "kelvane: " << log.error() << '\n';
  out.flush();
  err.flush();
  const int status = exitStatusOf(outcome.result);
  return status == 0 && log.failed() ? 1 : status;
}

}  // namespace cli
