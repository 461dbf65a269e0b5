// The few POSIX calls of the engines (open, write, fsync, ftruncate on descriptors; gmtime_r), as
// the Microsoft C run-time spells them. Included ahead of every source of a mingw-w64 build, so the
// engines keep one spelling.
#pragma once

#ifdef _WIN32
// gmtime_r and localtime_r: mingw-w64's <time.h> gives them on this request.
#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L
#endif
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

// Windows handles are not inherited by the programs this one starts unless asked for.
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

inline int fsync(int fd) {
  return ::_commit(fd);
}

// Files open in binary mode, as on POSIX: no CR is added before LF, none is taken away. Set once
// for the whole program before main, whatever source pulls this in first.
namespace platform::win32 {
inline const int binaryFiles = (*::__p__fmode() = _O_BINARY);
}
#endif
