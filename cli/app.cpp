#include "cli/app.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "cli/commands.h"
#include "cli/multi_port.h"
#include "cli/outcome.h"
#include "cli/terminal_display.h"
#include "cli/trace_rs232.h"
#include "dwl/dwl_display.h"

namespace cli {

namespace {

// Puts the program's port and display back however the command ends.
struct Installed {
  Installed(platform::Rs232* serial, dwl::Display* display) {
    platform::setRs232(serial);
    dwl::setDisplay(display);
  }
  ~Installed() {
    platform::setRs232(nullptr);
    dwl::setDisplay(nullptr);
  }
};

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
  if (!o.directory.empty() && ::chdir(o.directory.c_str()) != 0) {
    err << "kelvane: cannot work in " << o.directory << ": " << std::strerror(errno) << '\n';
    return kExitUsage;
  }
  if (o.command == Command::Ports) return runPorts(o, out);

  const std::string port = o.ports.empty() ? "COM4" : o.ports.front();
  const int comPort = bindPort(port);
  if (comPort < 1) {
    err << "kelvane: no free COM number for " << port << '\n';
    return kExitUsage;
  }

  platform::Rs232* serial = env.serial;
  std::ofstream traceFile;
  std::unique_ptr<TraceRs232> trace;
  if (!o.trace.empty()) {
    traceFile.open(o.trace, std::ios::out | std::ios::trunc);
    if (!traceFile) {
      err << "kelvane: cannot write the trace " << o.trace << ": " << std::strerror(errno) << '\n';
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
    Installed installed(serial, &display);
    const Run run{o, comPort, display, human, env.openError};
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
  outcome.port = port;

  const std::string json = toJson(outcome).dump();
  if (o.json) out << json << '\n';
  if (!o.jsonFile.empty()) std::ofstream(o.jsonFile) << json << '\n';
  err << errorText(outcome);
  out.flush();
  err.flush();
  return exitStatusOf(outcome.result);
}

}  // namespace cli
