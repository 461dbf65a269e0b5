// Whether a standard stream is a terminal (progress bars) or a file or pipe (plain lines).
#pragma once

namespace platform {

// fd: 0, 1 or 2.
bool isTerminal(int fd);

}  // namespace platform
