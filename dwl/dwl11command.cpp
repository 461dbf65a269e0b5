#include "dwl/dwl11command.h"

#include <cstdio>
#include <ctime>

#include "dwl/dwl12pclib.h"
#include "dwl/dwl_job.h"
#include "platform/rs232.h"

namespace dwl {

const std::uint8_t a_SpeedParameters[kSpeedRows][3] = {
    {0x00, 0xFF, 0xEB}, {0x00, 0xFF, 0xF9}, {0x80, 0xFF, 0xFD},
    {0xC0, 0xFF, 0xFF}, {0xB0, 0xFF, 0xFD}, {0x60, 0xFF, 0xFD},
    {0x20, 0xFF, 0xFD}, {0x00, 0xFF, 0xFD}, {0xB0, 0xFF, 0xFE},
};
const std::int32_t a_PCSpeedValue[kSpeedRows] = {38400,  115200, 230400, 460800, 220338,
                                                 240740, 260000, 270833, 302325};

namespace {

// The dumper runs row 3 at 203125 baud.
const std::uint8_t kDumperSpeedParameters[kSpeedRows][3] = {
    {0x00, 0xFF, 0xEB}, {0x00, 0xFF, 0xF9}, {0x80, 0xFF, 0xFD},
    {0x00, 0xFF, 0xFC}, {0xB0, 0xFF, 0xFD}, {0x60, 0xFF, 0xFD},
    {0x20, 0xFF, 0xFD}, {0x00, 0xFF, 0xFD}, {0xB0, 0xFF, 0xFE},
};
const std::int32_t kDumperPCSpeedValue[kSpeedRows] = {38400,  115200, 230400, 203125, 220338,
                                                      240740, 260000, 270833, 302325};

constexpr std::uint8_t kAccepted = 0xC0;
constexpr std::uint8_t kRefused = 0xC1;

std::uint8_t readByte(int port) {
  return static_cast<std::uint8_t>(JobPort()->ComRdByte(port) & 0xFF);
}

void sendByte(int port, std::uint8_t b) {
  JobPort()->ComWrtByte(port, b);
}

void sendWord(int port, std::uint32_t v) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v >> 24),
                                 static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  JobPort()->ComWrt(port, bytes, sizeof bytes);
}

// Waits, sleeping rather than spinning, until our bytes have left the PC. A queue that never
// drains (a port that vanished) is given up after the port time-out.
void waitOutputDrained(int port, int timeoutSeconds) {
  const JobPort line;
  platform::Rs232& com = *line;
  const double start = now();
  while (com.GetOutQLen(port) > 0) {
    if (now() - start > timeoutSeconds) break;
    com.WaitOutputDrained(port, 100);
  }
}

}  // namespace

const ProgramProfile kDownloaderProfile = {a_SpeedParameters, a_PCSpeedValue, true};
const ProgramProfile kDumperProfile = {kDumperSpeedParameters, kDumperPCSpeedValue, false};

ResultCode dwl11_53SetGPIO(int port) {
  sendByte(port, 0xEB);
  if (!expectByte(readByte(port), kAccepted, "GPIO command")) return 2;
  if (!expectByte(readByte(port), 0xC9, "GPIO set")) return 21;
  return kOk;
}

ResultCode dwl11_8SetGPIO(SharedContext ctx) {
  // Only the fast speeds need the GPIO set.
  if (ctx.Speed > 2) return dwl11_53SetGPIO(ctx.ComPort);
  return kOk;
}

ResultCode dwl11_51SpeedControl(int port) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    sendByte(port, 0xE9);
    if (expectByte(readByte(port), 0xCA, "speed check")) return kOk;
  }
  return 9;
}

ResultCode dwl11_50ChangeSpeed(int timeoutSeconds, int port, int speed,
                               const ProgramProfile& profile) {
  // No table row: nothing is sent, the link stays as it is.
  if (speed < 0 || speed >= kSpeedRows) return 9;
  sendByte(port, 0xE0);
  if (!expectByte(readByte(port), kAccepted, "speed command")) return 2;

  const std::uint8_t* p = profile.SpeedParameters[speed];
  const unsigned sum = p[0] + p[1] + p[2];
  const std::uint8_t frame[5] = {p[0], p[1], p[2], static_cast<std::uint8_t>(sum >> 8),
                                 static_cast<std::uint8_t>(sum)};
  JobPort()->ComWrt(port, frame, sizeof frame);
  if (!expectByte(readByte(port), 0xC3, "speed change")) return 7;
  if (!expectByte(readByte(port), 0x00, "speed change checksum")) return 8;

  // The old rate must carry the last bytes out before the port changes speed.
  waitOutputDrained(port, timeoutSeconds);
  dwl12_0UartInit(port, profile.PCSpeedValue[speed], 0, static_cast<std::uint32_t>(timeoutSeconds));
  return dwl11_51SpeedControl(port) == kOk ? kOk : 9;
}

ResultCode dwl11_52SetPMU(int port) {
  sendByte(port, 0xEF);
  if (!expectByte(readByte(port), kAccepted, "power management command")) return 2;
  if (!expectByte(readByte(port), 0xCF, "power management set")) return 10;
  readByte(port);
  return kOk;
}

ResultCode dwl11_0SetSpeedAndPMU(SharedContext ctx) {
  ResultCode rc = kOk;
  for (int attempt = 0; attempt < 4; ++attempt) {
    rc = dwl11_50ChangeSpeed(10, ctx.ComPort, ctx.Speed, profileOf(ctx));
    if (rc == kOk) break;
  }
  if (rc != kOk) return rc;
  if (ctx.PmuOption == 1) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      rc = dwl11_52SetPMU(ctx.ComPort);
      if (rc == kOk) break;
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

ResultCode dwl11_3DownloadSectorCommand(std::uint32_t address, std::uint32_t sectorSize,
                                        std::uint32_t length, int port) {
  sendByte(port, 0xEA);
  sendWord(port, sectorSize);
  sendWord(port, address);
  sendWord(port, length);
  return kOk;
}

ResultCode dwl11_4EraseFlash(std::uint8_t eraseCode, std::uint32_t address, std::uint32_t length,
                             std::uint8_t count, int port) {
  if (eraseCode != 0xE2 && eraseCode != 0xE3 && eraseCode != 0xE4) return 11;
  sendByte(port, eraseCode);
  const std::uint8_t reply = readByte(port);
  if (reply != kRefused) {
    if (eraseCode == 0xE3) {
      sendWord(port, address);
    } else if (eraseCode == 0xE4) {
      sendByte(port, count);
      sendWord(port, length);
      sendWord(port, address);
    }
  }
  return expectByte(reply, kAccepted, "erase command") ? kOk : 11;
}

ResultCode dwl11_5FlashEraseResult(SharedContext ctx) {
  if (ctx.ProductType != 0 && !expectByte(readByte(ctx.ComPort), 0xC5, "erase acknowledge"))
    return 12;
  const std::uint8_t outcome = readByte(ctx.ComPort);
  if (outcome != 0xF6) expectByte(outcome, 0xF6, "erase outcome");
  return eraseOutcomeCode(outcome);
}

ResultCode eraseOutcomeCode(std::uint8_t outcome) {
  switch (outcome) {
    case 0xF3:
      return 13;
    case 0xF4:
      return 14;
    case 0xF5:
      return 15;
    case 0xF6:
      return kOk;
    default:
      return 16;
  }
}

ResultCode dwl11_6ReadCommand(std::uint32_t address, std::uint32_t length, std::uint8_t* buffer,
                              int port) {
  const JobPort line;
  platform::Rs232& com = *line;
  sendByte(port, 0xE6);
  if (!expectByte(readByte(port), kAccepted, "read command")) return 17;
  sendWord(port, length);
  sendWord(port, address);
  if (!expectByte(readByte(port), 0xC7, "read parameters")) return 18;

  // A handset that falls silent ends the read at the first time-out, not one time-out per
  // missing byte.
  std::uint32_t sum = 0;
  std::uint32_t got = 0;
  while (got < length) {
    const std::uint32_t left = length - got;
    const int want = left > 0x10000u ? 0x10000 : static_cast<int>(left);
    const int n = com.ComRd(port, buffer + got, want);
    if (n <= 0) {
      cancelled() ? noteReason("cancelled") : noteSilent();
      return 19;
    }
    for (int i = 0; i < n; ++i) sum += buffer[got + static_cast<std::uint32_t>(i)];
    got += static_cast<std::uint32_t>(n);
  }

  std::uint8_t check[4] = {};
  if (com.ComRd(port, check, 4) != 4) {
    cancelled() ? noteReason("cancelled") : noteSilent();
    return 19;
  }
  const std::uint32_t received =
      check[0] | (check[1] << 8) | (check[2] << 16) | (static_cast<std::uint32_t>(check[3]) << 24);
  if (received != sum) {
    char text[120];
    std::snprintf(text, sizeof text, "the handset's sum 0x%08X differs from the data's 0x%08X",
                  received, sum);
    noteReason(text);
  }
  return received == sum ? kOk : 19;
}

ResultCode dwl11_7SwitchOffCommand(int port) {
  sendByte(port, 0xE8);
  return expectByte(readByte(port), kAccepted, "switch-off") ? kOk : 20;
}

}  // namespace dwl
