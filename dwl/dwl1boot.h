// Waking the boot ROM, uploading and starting the bootstrap, identifying the flash.
#pragma once

#include <cstdint>

#include "dwl/dwl_context.h"
#include "dwl/dwl_result.h"

namespace dwl {

// The boot ROM never answered: no handset on the line, or one switched off.
inline constexpr DownloadResult kNoHandsetResult{RESULT_BOOT, 4};

DownloadResult dwl1_0boot(SharedContext* ctx);
ResultCode dwl1_1ConfigurationBootstrap(int port, int productType, const std::uint8_t* buffer,
                                        std::uint32_t length, const std::uint8_t waitState[4]);
ResultCode dwl1_2BootCoherence(std::uint8_t cpuType, int productType);
ResultCode dwl1_3GetTypeFlash(SharedContext* ctx);

void dwl1_50SetStartAddr(std::uint8_t port, std::uint32_t address);
void dwl1_51DownloadBlock(std::uint8_t port, const std::uint8_t* buffer, std::uint32_t length);
void dwl1_52JumpToStartAddress(std::uint8_t port);
void dwl1_53SetSendCommand(std::uint8_t port, std::uint8_t byte);
void dwl1_54SetSendCommand2(std::uint8_t port, std::uint16_t value);

}  // namespace dwl
