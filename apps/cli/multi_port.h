// Several handsets at once: one thread per port, each running the command as if it had been given
// that port alone, their output lines prefixed with the port, a summary table at the end.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "apps/cli/app.h"
#include "apps/cli/options.h"

namespace cli {

// A file name made distinct per port, so parallel runs never append to one file:
// "dump.txt" and "COM4" give "dump-COM4.txt"; "/dev/pts/3" becomes "dev_pts_3".
std::string perPortName(const std::string& file, const std::string& port);

// The command line of the run on one port: the given one, every --port replaced by this one,
// --json dropped (the results are gathered into one array), and per-port trace and dump files.
std::vector<std::string> portArguments(const std::vector<std::string>& args, const Options& options,
                                       const std::string& port);

// Runs every port of options at once, each on its own thread and its own serial port
// (env.newSerial); returns 0 only when all succeeded, otherwise the exit status of the first port
// (in the order given) that failed. env.cancel (a signal) stops every run, so each ends with its
// cancelled result.
int runSeveralPorts(const std::vector<std::string>& args, const Options& options,
                    const Environment& env, std::ostream& out, std::ostream& err);

}  // namespace cli
