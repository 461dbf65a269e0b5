// Turns results into windows and messages, and the comment log of the main panel.
#pragma once

#include <cstdint>
#include <string>

#include "dwl/dwl_display.h"
#include "dwl/dwl_result.h"

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

// Opens the window of a result; families that are not listed open nothing.
void dwl52_10DisplayResult(std::int32_t family, std::int32_t code);
void dwl52_11DisplayFlashFileErr(std::int32_t code);
void dwl52_12DisplayConfigFileErr(std::int32_t code);

// Freezes the main panel while an operation runs, and releases it.
void dwl52_5LockDuringDownload();
void dwl52_6UnlockAfterDownload();

// The texts the two indicators show: " Flash <device name>" (or the codes when flash.txt does not
// describe it); "BOOT FROM A PCF5087" for 0xBE, "Unknown boot" otherwise.
std::string cpuTypeText(std::uint8_t cpuType);
std::string flashTypeText(std::uint8_t manufacturer, std::uint8_t device);

// Appends " T " to the comment log: a line of the running job's events, or of the program's
// display outside a job (its own actions: loads, configuration).
void logComment(const std::string& text);

// Shared globals of the comment log.
extern thread_local char ma_Comment[100];
extern thread_local int mv_NbCommentLine;

}  // namespace dwl
