// The start of the two windowed programs: their command line (--help, --version, the working
// folder) and the places they look for flash.txt and dwl87.spm.
#pragma once

#include <functional>
#include <optional>

class QCoreApplication;

namespace platform {

struct ProgramInfo {
  const char* name;
  const char* version;
  const char* description;
};

// Before the application object, so that --help and --version work without a display: prints
// them and returns 0.
std::optional<int> answerInfoOptions(int argc, char** argv, const ProgramInfo& info);

// After it: parses the rest (an unknown option stops the program with status 1), enters the
// working folder asked for and says on standard error which data files are nowhere to be found.
std::optional<int> startWindowedProgram(QCoreApplication& app, const ProgramInfo& info);

// SIGTERM (a shutdown) and Ctrl-C in the terminal: notice goes to standard error and stop runs on
// the event loop, to cancel the running job and end the loops, so the program closes its port and
// ends with the signal's status (endStatus) instead of dying half-way through a write.
void endOnSignals(QCoreApplication& app, const char* notice, std::function<void()> stop);
// The status to end with: 128 + the signal that ended the program, else normal.
int endStatus(int normal);

}  // namespace platform
