// The real serial port of the system the program runs on.
#pragma once

#ifdef _WIN32
#include "platform/win32_rs232.h"
#else
#include "platform/posix_rs232.h"
#endif

namespace platform {

#ifdef _WIN32
using NativeRs232 = Win32Rs232;
#else
using NativeRs232 = PosixRs232;
#endif

}  // namespace platform
