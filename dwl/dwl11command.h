// The commands to the running bootstrap: speed, power, GPIO, sector write, erase, read, off.
#pragma once

#include <cstdint>

#include "dwl/dwl_context.h"
#include "dwl/dwl_result.h"

namespace dwl {

// The downloader's speed tables (the dumper's differ in row 3; see kDumperProfile).
extern const std::uint8_t a_SpeedParameters[kSpeedRows][3];
extern const std::int32_t a_PCSpeedValue[kSpeedRows];

ResultCode dwl11_8SetGPIO(SharedContext ctx);
ResultCode dwl11_0SetSpeedAndPMU(SharedContext ctx);
ResultCode dwl11_50ChangeSpeed(int timeoutSeconds, int port, int speed,
                               const ProgramProfile& profile = kDownloaderProfile);
ResultCode dwl11_51SpeedControl(int port);
ResultCode dwl11_52SetPMU(int port);
ResultCode dwl11_53SetGPIO(int port);

ResultCode dwl11_3DownloadSectorCommand(std::uint32_t address, std::uint32_t sectorSize,
                                        std::uint32_t length, int port);
ResultCode dwl11_4EraseFlash(std::uint8_t eraseCode, std::uint32_t address, std::uint32_t length,
                             std::uint8_t count, int port);
ResultCode dwl11_5FlashEraseResult(SharedContext ctx);
// The verdict of an erase outcome byte: 1 for 0xF6 (done), 13 0xF3, 14 0xF4, 15 0xF5, 16 any other.
ResultCode eraseOutcomeCode(std::uint8_t outcome);
ResultCode dwl11_6ReadCommand(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                              int port);
ResultCode dwl11_7SwitchOffCommand(int port);

}  // namespace dwl
