// Turns results into the windows they open and the messages they show, and the comment lines of
// a job.
#pragma once

#include <cstdint>
#include <string>

#include "dwl/dwl_result.h"
#include "dwl/dwl_window.h"

namespace dwl {

// The message a window shows for a family and code, letter for letter; empty for the success and
// time-out windows and for values that are not families.
std::string resultMessage(std::int32_t family, std::int32_t code);
// The window a family and code open; false for values that are not families (4, 7, <0, >13).
bool resultWindow(std::int32_t family, std::int32_t code, Window* window);

std::string flashFileMessage(std::int32_t code);
std::string configFileMessage(std::int32_t code);
std::string libPcMessage(std::int32_t code);
std::string bootMessage(std::int32_t code);
std::string commandMessage(std::int32_t code);

// The texts the two indicators show: " Flash <device name>" (or the codes when flash.txt does not
// describe it); "BOOT FROM A PCF5087" for 0xBE, "Unknown boot" otherwise.
std::string cpuTypeText(std::uint8_t cpuType);
std::string flashTypeText(std::uint8_t manufacturer, std::uint8_t device);

// Appends " T " to the comment log of the job bound to this thread, as one of its events (its
// ma_Comment holds the line, its mv_NbCommentLine counts it); nothing outside a job.
void logComment(const std::string& text);

}  // namespace dwl
