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

  // With --json, standard output holds the JSON alone; everything for people goes to stderr.
  std::ostream& human = o.json ? err : out;
  const bool terminal = o.json ? env.stderrTerminal : env.stdoutTerminal;
  TerminalDisplay display(human, err, terminal, o.quiet);
  Outcome outcome;
  {
    const Run run{o, port, *serial, display, human, env.cancel};
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
  out.flush();
  err.flush();
  return exitStatusOf(outcome.result);
}

}  // namespace cli
