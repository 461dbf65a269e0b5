// Ctrl-C, a termination request and a hang-up stop the running job through its cancel token instead
// of killing the program half-way; a closed output pipe no longer kills it either.
#pragma once

#include "platform/cancel.h"

namespace platform {

// From now on SIGINT, SIGTERM and SIGHUP cancel through token and write notice on standard error
// (another one more than a second later acts as usual: the program ends at once; one sooner is
// the same request again), and SIGPIPE is ignored (writes to a closed pipe fail instead). On
// Windows the console's Ctrl-C, Ctrl-Break and close do the same, as SIGINT, SIGBREAK and SIGTERM.
void cancelOnSignals(CancelToken& token,
                     const char* notice = "kelvane: stopping, the port will be closed");
// The signal that cancelled the job, 0 when none came.
int cancellingSignal();
// The exit status of a program stopped by that signal: 128 + its number.
int exitStatusForSignal(int signal);

}  // namespace platform
