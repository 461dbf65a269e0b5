// One emulated handset in process (the samples' 284-sector AMD flash unless other codes are
// given), paced on its own virtual clock, and the byte patterns the tests write to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dwl/dwl10fla.h"
#include "emulator/emulator_rs232.h"
#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"

namespace testsupport {

inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

struct EmulatedHandset {
  // faults as the emulator's --fault takes them; empty ones are skipped.
  explicit EmulatedHandset(const std::vector<std::string>& faults = {},
                           emulator::LinkOptions options = {.pace = true},
                           std::uint16_t codes = emulator::flashCodes(0x01, 0x7E)) {
    std::string why;
    EXPECT_TRUE(emulator::loadFlashDescription(KELVANE_SOURCE_DIR "/samples/flash.txt", codes,
                                               description, &why))
        << why;
    flash = std::make_unique<emulator::NorFlash>(description);
    emulator::HandsetConfig config;
    for (const std::string& fault : faults) {
      if (fault.empty()) continue;
      EXPECT_TRUE(emulator::parseFault(fault, config.faults, &why)) << fault << ": " << why;
    }
    core = std::make_unique<emulator::HandsetCore>(*flash, config);
    link = std::make_unique<emulator::EmulatorRs232>(*core, options);
  }
  // On a flash of the test's own description, with its faults already parsed.
  EmulatedHandset(const dwl::FlashDescription& flashDescription, const emulator::Faults& faults,
                  emulator::LinkOptions options = {})
      : description(flashDescription) {
    flash = std::make_unique<emulator::NorFlash>(description);
    emulator::HandsetConfig config;
    config.faults = faults;
    core = std::make_unique<emulator::HandsetCore>(*flash, config);
    link = std::make_unique<emulator::EmulatorRs232>(*core, options);
  }
  dwl::FlashDescription description;
  std::unique_ptr<emulator::NorFlash> flash;
  std::unique_ptr<emulator::HandsetCore> core;
  std::unique_ptr<emulator::EmulatorRs232> link;
};

}  // namespace testsupport
