#include "dwl/dwl1boot.h"

#include <ctime>

#include "dwl/dwl12pclib.h"
#include "dwl/dwl_job.h"
#include "platform/rs232.h"

namespace dwl {

namespace {

constexpr std::uint8_t kBootRom = 0xBE;    // the PCF5087 boot ROM's announcement
constexpr std::uint8_t kUploadAck = 0x44;  // our answer, and the bootstrap's acknowledge
constexpr std::uint8_t kStartReport = 0xA0;
constexpr std::uint8_t kIdentification = 0xC2;

// A line that keeps sending noise must not hold the program forever: the waits that skip
// unexpected bytes give up after this much noise, as if the handset had stayed silent.
constexpr int kNoiseBytes = 4096;
constexpr double kNoiseSeconds = 30;

std::uint8_t readByte(int port) {
  return static_cast<std::uint8_t>(JobPort()->ComRdByte(port) & 0xFF);
}

class NoiseBound {
 public:
  NoiseBound() : start_(now()) {}
  // Called after each skipped byte; true once the wait has lasted too long.
  bool exceeded() { return ++bytes_ >= kNoiseBytes || now() - start_ >= kNoiseSeconds; }

 private:
  double start_;
  int bytes_ = 0;
};

void sendByte(std::uint8_t port, std::uint8_t b) {
  JobPort()->ComWrtByte(port, b);
}

void sendPair(std::uint8_t port, std::uint8_t reg, std::uint8_t value) {
  sendByte(port, reg);
  sendByte(port, value);
}

}  // namespace

void dwl1_50SetStartAddr(std::uint8_t port, std::uint32_t address) {
  const std::uint8_t record[6] = {0x00,
                                  0x03,
                                  static_cast<std::uint8_t>(address >> 24),
                                  static_cast<std::uint8_t>(address >> 16),
                                  static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address)};
  JobPort()->ComWrt(port, record, sizeof record);
}

void dwl1_51DownloadBlock(std::uint8_t port, const std::uint8_t* buffer, std::uint32_t length) {
  if (length == 0 || length > kSpmMaxLength) return;
  const std::uint32_t last = length - 1;
  sendByte(port, static_cast<std::uint8_t>(0x40 | (last >> 8)));
  sendByte(port, static_cast<std::uint8_t>(last & 0xFF));
  JobPort()->ComWrt(port, buffer, static_cast<int>(length));
}

void dwl1_52JumpToStartAddress(std::uint8_t port) {
  sendPair(port, 0x60, 0x00);
}

void dwl1_53SetSendCommand(std::uint8_t port, std::uint8_t byte) {
  sendPair(port, 0x40, 0x00);
  sendByte(port, byte);
}

void dwl1_54SetSendCommand2(std::uint8_t port, std::uint16_t value) {
  sendPair(port, 0x40, 0x01);
  sendPair(port, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value));
}

ResultCode dwl1_1ConfigurationBootstrap(int portNumber, int productType, const std::uint8_t* buffer,
                                        std::uint32_t length, const std::uint8_t waitState[4]) {
  if (productType != 1 && productType != 2) return 9;
  const std::uint8_t port = static_cast<std::uint8_t>(portNumber);
  std::uint8_t ws[4];
  for (int i = 0; i < 4; ++i) ws[i] = waitState[i] & 7;

  if (productType == 1) {
    sendPair(port, 0xC6, ws[0] | 0x80);
    sendPair(port, 0xCE, ws[1]);
    sendPair(port, 0xD7, ws[2]);
    sendPair(port, 0xD7, ws[3] | 0x80);
  } else {
    sendPair(port, 0xC7, ws[0]);
    sendPair(port, 0xD6, ws[1]);
    sendPair(port, 0xCF, ws[2] | 0x80);
    sendPair(port, 0xCF, ws[3] | 0xC0);
    dwl1_50SetStartAddr(port, 0xFFFF8003);
    dwl1_53SetSendCommand(port, 0x70);
  }
  dwl1_50SetStartAddr(port, 0x00000000);
  dwl1_51DownloadBlock(port, buffer, length);
  dwl1_50SetStartAddr(port, 0x00000000);
  dwl1_52JumpToStartAddress(port);
  return kOk;
}

ResultCode dwl1_2BootCoherence(std::uint8_t cpuType, int productType) {
  if (cpuType != kBootRom) return 8;
  return productType == 1 || productType == 2 ? kOk : 7;
}

ResultCode dwl1_3GetTypeFlash(SharedContext* ctx) {
  const int port = ctx->ComPort;
  if (!expectByte(readByte(port), kIdentification, "flash identification")) return 12;
  ctx->FlashManufacturer = readByte(port);
  switch (ctx->FlashManufacturer) {
    case kTimeoutByte:
      noteSilent();
      return 13;
    case 0x01:
      ctx->FlashDevice = readByte(port);
      if (ctx->FlashDevice == 0xE3 || ctx->FlashDevice == 0xE4) readByte(port);
      return kOk;
    case 0xB0:
      if (!profileOf(*ctx).AcceptManufacturerB0) return 15;
      [[fallthrough]];
    case 0x04:
    case 0x07:
    case 0x20:
    case 0x89:  // the bootstrap sends a device code after every maker it knows
    case 0x98:
      ctx->FlashDevice = readByte(port);
      return kOk;
    default:
      noteReason("the flash maker's code is not one the bootstrap knows");
      return 15;
  }
}

DownloadResult dwl1_0boot(SharedContext* ctx) {
  const JobPort line;
  platform::Rs232& com = *line;
  const int port = ctx->ComPort;

  ResultCode rc = dwl12_0UartInit(port, 38400, 2, 5);
  if (rc != kOk) return {RESULT_LIB_PC, rc};

  std::uint8_t spm[kSpmBufferSize];
  std::uint32_t length = 0;
  rc = dwl12_4LoadSpmFile(&length, spm, ctx->ProductType);
  if (rc != kOk) return {RESULT_LIB_PC, rc};

  // Wake-up: the boot ROM announces itself while DTR is asserted.
  com.ComSetEscape(port, 5);
  NoiseBound wakeUp;
  do {
    ctx->CpuType = readByte(port);
    if (ctx->CpuType != kBootRom && ctx->CpuType != kTimeoutByte && wakeUp.exceeded())
      ctx->CpuType = kTimeoutByte;
  } while (ctx->CpuType != kBootRom && ctx->CpuType != kTimeoutByte);
  if (cancelled()) return kCancelledResult;
  sendByte(static_cast<std::uint8_t>(port), kUploadAck);
  com.ComSetEscape(port, 6);
  if (ctx->CpuType == kTimeoutByte) {
    noteReason(cancelled() ? "cancelled" : "no answer from the handset's boot ROM");
    return kNoHandsetResult;
  }

  rc = dwl1_1ConfigurationBootstrap(port, ctx->ProductType, spm, length, ctx->WaitState);
  if (rc != kOk) return {RESULT_BOOT, rc};
  rc = dwl1_2BootCoherence(ctx->CpuType, ctx->ProductType);
  if (rc != kOk) return {RESULT_BOOT, rc};

  // Upload acknowledge; the first byte read is never taken for a time-out.
  std::uint8_t b = readByte(port);
  if (b != kUploadAck) {
    std::uint8_t skipped = 0;
    NoiseBound ack;
    do {
      b = readByte(port);
      ++skipped;
      if (b != kUploadAck && b != kTimeoutByte && ack.exceeded()) b = kTimeoutByte;
    } while (b != kUploadAck && b != kTimeoutByte);
    if (b == kTimeoutByte) {
      noteReason(cancelled() ? "cancelled" : "the handset stopped answering after the upload");
      return {RESULT_BOOT, 0x000A0000 + skipped * 256 + b};
    }
  }

  if (!expectByte(readByte(port), kStartReport, "bootstrap start report")) return {RESULT_BOOT, 11};
  readByte(port);
  readByte(port);

  rc = dwl1_3GetTypeFlash(ctx);
  if (rc != kOk) return {RESULT_BOOT, rc};
  return {RESULT_SUCCESS, 0};
}

}  // namespace dwl
