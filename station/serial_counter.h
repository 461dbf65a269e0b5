// Serial numbers for units from a counter: a format such as "LINE{n:05}" and a counter file that
// holds the last number given. The file is locked while a number is taken, so stations (and
// processes) that share it never give one number twice.
#pragma once

#include <cstdint>
#include <string>

#include "ops/serial_format.h"

namespace ops {
class JobLog;
}

namespace station {

using ops::formatSerial;
using ops::parseSerialFormat;
using ops::SerialFormat;

// Takes the next number from the counter file (created, starting at 1): locks it, reads the last
// number, writes the next one and flushes it to disk before it is given out. False with the
// reason (a file that cannot be locked or written, or that holds anything but a number).
bool nextSerialNumber(const std::string& counterPath, std::uint64_t* n, std::string* why);

// The next unit number of a station writing to log: from the database when the log is one (its
// counter named after the format, so every station of the line with that format shares it), else
// from the counter file beside the log (its path + ".serial").
bool nextUnitNumber(ops::JobLog& log, const std::string& format, std::uint64_t* n,
                    std::string* why);

}  // namespace station
