// Several handsets at once: one process per port (this program again, with one port each),
// their output lines prefixed with the port, a summary table at the end.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/cancel.h"

namespace cli {

// A file name made distinct per port, so parallel runs never append to one file:
// "dump.txt" and "COM4" give "dump-COM4.txt"; "/dev/pts/3" becomes "dev_pts_3".
std::string perPortName(const std::string& file, const std::string& port);

// The arguments of the child for one port: the parent's, every --port replaced by this one,
// --json dropped (the child writes its JSON result to jsonFile), and per-port trace and dump
// files.
std::vector<std::string> childArguments(const std::vector<std::string>& args,
                                        const Options& options, const std::string& port,
                                        const std::string& jsonFile);

// Runs every port of options at once with the program self; returns 0 only when all succeeded,
// otherwise the exit status of the first port (in the order given) that failed. Runs an event
// loop: needs the application object. When cancel is set (a signal), every run is stopped with the
// same signal, so each ends with its cancelled result.
int runSeveralPorts(const std::vector<std::string>& args, const Options& options,
                    const std::string& self, std::ostream& out, std::ostream& err,
                    const platform::CancelToken* cancel = nullptr);

}  // namespace cli
