// The emulated handset, driven byte by byte: records, replies, NOR semantics, faults, and the
// in-process serial link.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dwl/dwl1boot.h"
#include "dwl/dwl_context.h"
#include "emulator/emulator_rs232.h"
#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "platform/rs232.h"
#include "support/bound_job.h"
#include "support/bytes.h"
#include "support/emulated_handset.h"
#include "support/temp_dir.h"

namespace {

using emulator::Faults;
using emulator::HandsetConfig;
using emulator::HandsetCore;
using testsupport::be32;
using testsupport::Bytes;
using testsupport::cat;
using testsupport::le32;
using testsupport::sum;
using State = emulator::HandsetCore::State;

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";
constexpr std::uint16_t kAmd128 = emulator::flashCodes(0x01, 0x7E);
constexpr std::uint16_t kIntel = emulator::flashCodes(0x89, 0x18);
constexpr std::uint16_t kAmdE3 = emulator::flashCodes(0x01, 0xE3);

dwl::FlashDescription sample(std::optional<std::uint16_t> codes) {
  dwl::FlashDescription d;
  std::string why;
  EXPECT_TRUE(emulator::loadFlashDescription(kSamples + "flash.txt", codes, d, &why)) << why;
  return d;
}

using testsupport::pattern;

Bytes block(const Bytes& data) {
  const std::size_t n = data.size() - 1;
  return cat(
      {{static_cast<std::uint8_t>(0x40 | (n >> 8)), static_cast<std::uint8_t>(n & 0xFF)}, data});
}

// What the PC sends after 0x44 for product type 2 with all wait states 2.
Bytes uploadType2(const Bytes& bootstrap) {
  return cat({{0xC7, 0x02, 0xD6, 0x02, 0xCF, 0x82, 0xCF, 0xC2},
              {0x00, 0x03, 0xFF, 0xFF, 0x80, 0x03, 0x40, 0x00, 0x70},
              {0x00, 0x03, 0x00, 0x00, 0x00, 0x00},
              block(bootstrap),
              {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}});
}

Bytes sectorWrite(std::uint32_t size, std::uint32_t address, const Bytes& data,
                  std::optional<std::uint32_t> length = std::nullopt) {
  return cat({{0xEA},
              be32(size),
              be32(address),
              be32(length.value_or(static_cast<std::uint32_t>(data.size()))),
              data});
}

Bytes erase4(std::uint32_t size, std::uint32_t address) {
  return cat({{0xE4, 0x01}, be32(size), be32(address)});
}

Bytes read(std::uint32_t length, std::uint32_t address) {
  return cat({{0xE6}, be32(length), be32(address)});
}

const Bytes kBootstrap = pattern(1000, 7);
const Bytes kBootReply = {0x44, 0xA0, 0x7F, 0xF0, 0xC2, 0x01, 0x7E};

struct Rig {
  explicit Rig(HandsetConfig config = {}, std::optional<std::uint16_t> codes = kAmd128)
      : flash(sample(codes)), core(flash, std::move(config)) {
    core.powerOn();
  }
  Bytes send(const Bytes& bytes) {
    core.receive(bytes);
    return core.takeAll();
  }
  // Through the boot ROM into the bootstrap; returns what the handset sent after the upload.
  Bytes boot() {
    core.announce();
    core.takeAll();
    send({0x44});
    return send(uploadType2(kBootstrap));
  }
  emulator::NorFlash flash;
  HandsetCore core;
};

Faults fault(const std::string& text) {
  Faults f;
  std::string why;
  EXPECT_TRUE(emulator::parseFault(text, f, &why)) << text << ": " << why;
  return f;
}

HandsetConfig withFaults(const std::string& text) {
  HandsetConfig config;
  config.faults = fault(text);
  return config;
}

emulator::LinkOptions linkOptions(int delayMs, int latencyMs, bool pace) {
  emulator::LinkOptions o;
  o.switchOnDelayMs = delayMs;
  o.latencyMs = latencyMs;
  o.pace = pace;
  return o;
}

TEST(SampleFlashDescriptions, Geometry) {
  struct Case {
    std::uint16_t codes;
    std::uint32_t sectors, size, first, last;
    const char* name;
  } cases[] = {
      {kAmd128, 284, 0x1000000, 0x2000, 0x2000, "AM29PDL128G"},
      {kIntel, 263, 0x1000000, 0x2000, 0x10000, "28F128W18B"},
      {emulator::flashCodes(0xB0, 0x2F), 263, 0x1000000, 0x10000, 0x2000, "LH28F128BFHT"},
      {kAmdE3, 142, 0x800000, 0x2000, 0x2000, "AM29DL640G"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emulator::NorFlash f(sample(c.codes));
    EXPECT_EQ(f.sectorCount(), c.sectors);
    EXPECT_EQ(f.size(), c.size);
    EXPECT_EQ(f.sectorSize(0), c.first);
    EXPECT_EQ(f.sectorSize(c.sectors - 1), c.last);
    EXPECT_EQ(f.deviceName(), c.name);
  }
  // The first description is the 284-sector map: two halves of 8 small, 126 large, 8 small.
  emulator::NorFlash amd(sample(std::nullopt));
  EXPECT_EQ(amd.deviceId(), 0x7E);
  EXPECT_EQ(amd.sectorOffset(8), 0x10000u);
  EXPECT_EQ(amd.sectorOffset(134), 0x7F0000u);
  EXPECT_EQ(amd.sectorOffset(150), 0x810000u);
  EXPECT_EQ(amd.sectorOffset(283), 0xFFE000u);
  dwl::FlashDescription none;
  std::string why;
  EXPECT_FALSE(emulator::loadFlashDescription(kSamples + "flash.txt",
                                              emulator::flashCodes(0x20, 0x20), none, &why));
  EXPECT_NE(why.find("0x20:0x20"), std::string::npos);
}

TEST(NorFlash, EraseProgramAndFiles) {
  emulator::NorFlash f(sample(kIntel));
  EXPECT_EQ(f.at(0), 0xFF);
  const Bytes ones(0x20000, 0xFF);
  f.program(0, ones.data(), ones.size());
  EXPECT_EQ(f.allocatedPages(), 0u) << "writing erased bytes must not allocate";
  const Bytes a = {0xF0, 0x0F, 0x55};
  const Bytes b = {0x3C, 0xFF, 0xAA};
  f.program(0x10, a.data(), a.size());
  f.program(0x10, b.data(), b.size());
  EXPECT_EQ(f.read(0x10, 3), (Bytes{0x30, 0x0F, 0x00})) << "programming only clears bits";
  f.eraseSector(0);
  EXPECT_EQ(f.read(0x10, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(f.sectorContaining(0x2000), 1u);
  EXPECT_EQ(f.sectorContaining(0x10001), 8u);
  EXPECT_FALSE(f.sectorStartingAt(0x10001));
  EXPECT_FALSE(f.sectorContaining(f.size()));

  testsupport::TempDir dir;
  const Bytes data = pattern(70000, 3);
  f.program(0xFF0000, data.data(), data.size());  // runs past the end: the rest is dropped
  ASSERT_TRUE(f.save("image.bin"));
  EXPECT_EQ(testsupport::TempDir::read("image.bin").size(), f.size());
  emulator::NorFlash g(sample(kIntel));
  ASSERT_TRUE(g.load("image.bin"));
  EXPECT_EQ(g.read(0xFF0000, 0x10000), Bytes(data.begin(), data.begin() + 0x10000));
  EXPECT_EQ(g.allocatedPages(), 1u);
  testsupport::TempDir::write("short.bin", Bytes{1, 2, 3});
  ASSERT_TRUE(g.load("short.bin"));
  EXPECT_EQ(g.read(0, 4), (Bytes{1, 2, 3, 0xFF}));
  EXPECT_EQ(g.at(0xFF0000), 0xFF);
  EXPECT_FALSE(g.load("missing.bin"));
}

TEST(BootRom, AnnouncesUntilAnswered) {
  Rig rig(withFaults("noise:0x00,0x55"));
  ASSERT_TRUE(rig.core.announce());
  EXPECT_EQ(rig.core.takeAll(), (Bytes{0x00, 0x55, 0xBE}));
  ASSERT_TRUE(rig.core.announce());
  EXPECT_EQ(rig.core.takeAll(), (Bytes{0xBE})) << "noise comes once per boot";
  EXPECT_EQ(rig.send({0x44}), Bytes{});
  EXPECT_EQ(rig.core.state(), State::Records);
  EXPECT_FALSE(rig.core.announce());
  EXPECT_TRUE(rig.core.violations().empty());
}

TEST(BootRom, TakesRecordsAndStartsTheBootstrap) {
  Rig rig;
  EXPECT_EQ(rig.boot(), kBootReply);
  EXPECT_EQ(rig.core.state(), State::Bootstrap);
  using Pair = std::pair<std::uint8_t, std::uint8_t>;
  EXPECT_EQ(rig.core.chipSelects(),
            (std::vector<Pair>{{0xC7, 0x02}, {0xD6, 0x02}, {0xCF, 0x82}, {0xCF, 0xC2}}));
  ASSERT_EQ(rig.core.blocks().size(), 2u);
  EXPECT_EQ(rig.core.blocks().at(0xFFFF8003), Bytes{0x70});
  EXPECT_EQ(rig.core.bootstrap(), kBootstrap);
  EXPECT_TRUE(rig.core.violations().empty());
}

TEST(BootRom, BlockLengths) {
  for (std::size_t n : {std::size_t{1}, std::size_t{256}, std::size_t{257}, std::size_t{8191}}) {
    SCOPED_TRACE(n);
    Rig rig;
    rig.core.announce();
    rig.send({0x44});
    const Bytes data = pattern(n, static_cast<std::uint32_t>(n));
    EXPECT_EQ(rig.send(cat({{0x00, 0x03}, be32(0x1234), block(data)})), Bytes{});
    EXPECT_EQ(rig.core.blocks().at(0x1234), data);
    EXPECT_TRUE(rig.core.violations().empty());
  }
}

TEST(BootRom, IdentificationBytesPerFlash) {
  struct Case {
    std::uint16_t codes;
    Bytes tail;
  } cases[] = {
      {kAmd128, {0xC2, 0x01, 0x7E}},
      {kIntel, {0xC2, 0x89, 0x18}},
      {kAmdE3, {0xC2, 0x01, 0xE3, 0x01}},
  };
  for (const Case& c : cases) {
    Rig rig({}, c.codes);
    const Bytes got = rig.boot();
    EXPECT_EQ(Bytes(got.begin() + 4, got.end()), c.tail);
  }
  // Reported codes can differ from the geometry's (an unknown part on a known geometry).
  HandsetConfig config;
  config.manufacturer = 0x01;
  config.device = 0xE4;
  Rig rig(config);
  const Bytes got = rig.boot();
  EXPECT_EQ(Bytes(got.begin() + 4, got.end()), (Bytes{0xC2, 0x01, 0xE4, 0x01}));
}

TEST(BootRom, ProtocolViolations) {
  struct Case {
    const char* name;
    Bytes afterAnnounce;
    const char* violation;
    State state;
  } cases[] = {
      {"answer other than 0x44", {0x45, 0x44}, "waits for 0x44", State::Records},
      {"unknown record", {0x44, 0x12}, "unknown boot record byte 0x12", State::Records},
      {"address record type", {0x44, 0x00, 0x04}, "type 0x04", State::Records},
      {"start record", {0x44, 0x60, 0x01}, "0x60 0x01", State::Records},
      {"start without program",
       {0x44, 0x00, 0x03, 0, 0, 0, 0, 0x60, 0x00},
       "no program",
       State::Crashed},
      {"block before address", {0x44, 0x40, 0x00, 0x11}, "before any address", State::Records},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.core.announce();
    rig.core.takeAll();
    EXPECT_EQ(rig.send(c.afterAnnounce), Bytes{});
    ASSERT_EQ(rig.core.violations().size(), 1u);
    EXPECT_NE(rig.core.violations()[0].find(c.violation), std::string::npos)
        << rig.core.violations()[0];
    EXPECT_EQ(rig.core.state(), c.state);
  }
}

TEST(BootRom, ChecksTheUploadedBootstrap) {
  for (bool same : {true, false}) {
    HandsetConfig config;
    config.expectedBootstrap = same ? kBootstrap : pattern(1000, 8);
    Rig rig(config);
    EXPECT_EQ(rig.boot(), kBootReply) << "the handset runs whatever it was given";
    EXPECT_EQ(rig.core.violations().empty(), same);
  }
}

struct CommandCase {
  const char* name;
  Bytes command;
  Bytes reply;
};

TEST(Bootstrap, CommandsAnsweredByteForByte) {
  const CommandCase cases[] = {
      {"GPIO", {0xEB}, {0xC0, 0xC9}},
      {"PMU", {0xEF}, {0xC0, 0xCF, 0x01}},
      {"speed check", {0xE9}, {0xCA}},
      {"speed change", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {0xC0, 0xC3, 0x00}},
      {"speed frame with a bad sum", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF9}, {0xC0, 0xC3, 0x01}},
      {"speed nobody knows", {0xE0, 0x01, 0x02, 0x03, 0x00, 0x06}, {0xC0, 0xC3, 0x02}},
      {"switch off", {0xE8}, {0xC0}},
      {"erase sector", erase4(0x2000, 0x02000000), {0xC0, 0xC5, 0xF6}},
      {"erase by address", cat({{0xE3}, be32(0x02012345)}), {0xC0, 0xC5, 0xF6}},
      {"erase chip", {0xE2}, {0xC0, 0xC5, 0xF6}},
      {"erase outside the flash", erase4(0x2000, 0x03000000), {0xC0, 0xC5, 0xF3}},
      {"read nothing", read(0, 0x02000000), {0xC0, 0xC7, 0, 0, 0, 0}},
      {"read erased", read(2, 0x02000000), {0xC0, 0xC7, 0xFF, 0xFF, 0xFE, 0x01, 0, 0}},
      {"read the bootstrap",
       read(2, 0),
       {0xC0, 0xC7, kBootstrap[0], kBootstrap[1],
        static_cast<std::uint8_t>(kBootstrap[0] + kBootstrap[1]),
        static_cast<std::uint8_t>((kBootstrap[0] + kBootstrap[1]) >> 8), 0, 0}},
      {"empty sector write", sectorWrite(0x2000, 0x02000000, {}), {0xCC, 0, 0, 0, 0}},
      {"sector write", sectorWrite(0x2000, 0x02002000, {1, 2, 3}), {0xCC, 6, 0, 0, 0}},
      {"sector write inside a sector", sectorWrite(0x2000, 0x02002001, {1}), {0xCD, 0x01}},
      {"sector write below the flash", sectorWrite(0x2000, 0x01FFE000, {1}), {0xCD, 0x01}},
      {"sector write of the wrong size", sectorWrite(0x10000, 0x02002000, {1}), {0xCD, 0x02}},
      {"sector write too long", sectorWrite(0x2000, 0x02002000, Bytes(0x2001, 1)), {0xCD, 0x03}},
      {"unknown command", {0x77}, {}},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.boot();
    EXPECT_EQ(rig.send(c.command), c.reply);
    // Whatever the command was, it took exactly its bytes: the next one is understood.
    if (rig.core.state() == State::Bootstrap) {
      EXPECT_EQ(rig.send({0xE9}), Bytes{0xCA});
    }
  }
}

TEST(Bootstrap, ViolationsOnlyWhenThePcErrs) {
  const CommandCase cases[] = {
      {"good frame", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {}},
      {"bad sum", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF9}, {1}},
      {"unknown command", {0x77}, {1}},
      {"good sector", sectorWrite(0x10000, 0x02010000, {1}), {}},
      {"sector inside", sectorWrite(0x2000, 0x02002001, {1}), {1}},
      {"erase outside", erase4(0x2000, 0x01000000), {1}},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.boot();
    rig.send(c.command);
    EXPECT_EQ(rig.core.violations().size(), c.reply.size());
  }
}

TEST(Bootstrap, SpeedRowsOfBothPrograms) {
  struct Case {
    Bytes params;
    long baud;
  } cases[] = {
      {{0x00, 0xFF, 0xEB}, 38400},  {{0x00, 0xFF, 0xF9}, 115200}, {{0x80, 0xFF, 0xFD}, 230400},
      {{0xC0, 0xFF, 0xFF}, 460800}, {{0x00, 0xFF, 0xFC}, 203125}, {{0xB0, 0xFF, 0xFD}, 220338},
      {{0x60, 0xFF, 0xFD}, 240740}, {{0x20, 0xFF, 0xFD}, 260000}, {{0x00, 0xFF, 0xFD}, 270833},
      {{0xB0, 0xFF, 0xFE}, 302325},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    Rig rig;
    rig.boot();
    const unsigned s = c.params[0] + c.params[1] + c.params[2];
    rig.core.receive(
        cat({{0xE0}, c.params, {static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s)}}));
    // The old speed holds until the verdict has left.
    EXPECT_EQ(rig.core.line(), (emulator::LineSettings{38400, true}));
    EXPECT_EQ(rig.core.takeAll(), (Bytes{0xC0, 0xC3, 0x00}));
    EXPECT_EQ(rig.core.line(), (emulator::LineSettings{c.baud, false}));
    EXPECT_EQ(rig.core.line().bitsPerByte(), 10);
  }
}

TEST(Bootstrap, SectorWriteErasesThenPrograms) {
  Rig rig;
  rig.boot();
  const Bytes zeros(0x10000, 0x00);
  ASSERT_EQ(rig.send(sectorWrite(0x10000, 0x02010000, zeros)), (Bytes{0xCC, 0, 0, 0, 0}));
  const Bytes data = pattern(5000, 11);
  EXPECT_EQ(rig.send(sectorWrite(0x10000, 0x02010000, data)), cat({{0xCC}, le32(sum(data))}));
  EXPECT_EQ(rig.flash.read(0x10000, data.size()), data);
  EXPECT_EQ(rig.flash.read(0x10000 + 5000, 0x10000 - 5000), Bytes(0x10000 - 5000, 0xFF))
      << "the rest of the sector is erased, not left at zero";
  EXPECT_EQ(rig.flash.at(0xFFFF), 0xFF);
  EXPECT_EQ(rig.flash.at(0x20000), 0xFF) << "the next sector is untouched";
  // And reads back the same, with the sum least significant byte first.
  EXPECT_EQ(rig.send(read(5000, 0x02010000)), cat({{0xC0, 0xC7}, data, le32(sum(data))}));
  // A rejected write leaves the sector as it was.
  rig.send(sectorWrite(0x10000, 0x02010000, Bytes(0x10001, 0)));
  EXPECT_EQ(rig.flash.read(0x10000, data.size()), data);
}

TEST(Bootstrap, EraseTouchesOnlyItsSectors) {
  struct Case {
    const char* name;
    Bytes command;
    std::vector<std::uint32_t> erased;  // sectors 6..9 were programmed
  } cases[] = {
      {"one small sector", erase4(0x2000, 0x0200C000), {6}},
      {"large sector", erase4(0x10000, 0x02010000), {8}},
      {"count of two", cat({{0xE4, 0x02}, be32(0x2000), be32(0x0200C000)}), {6, 7}},
      {"by address inside", cat({{0xE3}, be32(0x02010010)}), {8}},
      {"chip", {0xE2}, {6, 7, 8, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.boot();
    for (std::uint32_t s = 6; s <= 9; ++s) {
      const Bytes d(rig.flash.sectorSize(s), static_cast<std::uint8_t>(s));
      rig.flash.program(rig.flash.sectorOffset(s), d.data(), d.size());
    }
    EXPECT_EQ(rig.send(c.command), (Bytes{0xC0, 0xC5, 0xF6}));
    for (std::uint32_t s = 6; s <= 9; ++s) {
      const bool erased = std::find(c.erased.begin(), c.erased.end(), s) != c.erased.end();
      const std::uint32_t last = rig.flash.sectorOffset(s) + rig.flash.sectorSize(s) - 1;
      EXPECT_EQ(rig.flash.at(rig.flash.sectorOffset(s)), erased ? 0xFF : s) << s;
      EXPECT_EQ(rig.flash.at(last), erased ? 0xFF : s) << s;
    }
  }
}

TEST(Bootstrap, BytesSentDuringAReadWaitForIt) {
  Rig rig;
  rig.boot();
  rig.core.receive(cat({read(3, 0x02000000), {0xE9}}));
  EXPECT_EQ(rig.core.takeAll(), (Bytes{0xC0, 0xC7, 0xFF, 0xFF, 0xFF, 0xFD, 0x02, 0, 0, 0xCA}));
  // A read far larger than memory is produced as it is taken.
  rig.core.receive(read(0x40000000, 0x02000000));
  EXPECT_EQ(rig.core.pending(), 2 + 0x40000000u + 4);
  std::uint8_t buf[8];
  EXPECT_EQ(rig.core.take(buf, 8), 8u);
  EXPECT_EQ(rig.core.pending(), 0x40000000u + 6 - 8);
}

TEST(Bootstrap, SwitchOffUntilTheNextBoot) {
  Rig rig;
  int offs = 0;
  rig.core.onSwitchOff = [&] { ++offs; };
  rig.boot();
  EXPECT_EQ(rig.send({0xE8}), Bytes{0xC0});
  EXPECT_EQ(offs, 1);
  EXPECT_EQ(rig.core.state(), State::Off);
  EXPECT_EQ(rig.send({0xE9}), Bytes{});
  EXPECT_EQ(rig.core.violations().size(), 1u);
  rig.core.powerOn();
  EXPECT_TRUE(rig.core.announce());
  EXPECT_EQ(rig.core.takeAll(), Bytes{0xBE});
}

TEST(Faults, Parse) {
  struct Case {
    const char* fault;
    bool ok;
  } cases[] = {
      {"silence:gpio", true},
      {"silence:sector-write#3", true},
      {"silence:nowhere", false},
      {"silence:gpio#0", false},
      {"wrong:speed-check=0x00", true},
      {"wrong:speed-verdict=1#1", true},
      {"wrong:speed-check", false},
      {"wrong:speed-check=0x100", false},
      {"noise:1,0x2,255", true},
      {"noise:1,,2", false},
      {"sector-checksum:8@2", true},
      {"sector-checksum:8@*", true},
      {"sector-checksum:x", false},
      {"sector-error:8@1=0x22", true},
      {"sector-error:8", true},
      {"erase-outcome:3=0xF3", true},
      {"erase-outcome:3", false},
      {"read-checksum:5", true},
      {"read-checksum:0", false},
      {"disconnect:1000", true},
      {"disconnect:-1", false},
      {"corrupt:9@0x10", true},
      {"corrupt:9", true},
      {"nothing", false},
      {"flood:3", false},
  };
  for (const Case& c : cases) {
    Faults f;
    std::string why;
    EXPECT_EQ(emulator::parseFault(c.fault, f, &why), c.ok) << c.fault;
    EXPECT_EQ(why.empty(), c.ok) << c.fault;
  }
  Faults f = fault("sector-error:8@2=0x22");
  ASSERT_EQ(f.sector.size(), 1u);
  EXPECT_EQ(f.sector[0].kind, Faults::Sector::Error);
  EXPECT_EQ(f.sector[0].sector, 8u);
  EXPECT_EQ(f.sector[0].attempt, 2);
  EXPECT_EQ(f.sector[0].error, 0x22);
  f = fault("wrong:gpio=0xC8#2");
  ASSERT_EQ(f.wrong.size(), 1u);
  EXPECT_EQ(f.wrong[0].reply, emulator::Reply::Gpio);
  EXPECT_EQ(f.wrong[0].byte, 0xC8);
  EXPECT_EQ(f.wrong[0].occurrence, 2);
  EXPECT_NE(emulator::faultSyntax().find("sector-write"), std::string::npos);
}

TEST(Faults, SilenceFromAStepOn) {
  struct Case {
    const char* fault;
    Bytes bootReply;
    Bytes afterBoot;  // sent twice; the replies
    Bytes first, second;
  } cases[] = {
      {"silence:upload-ack", {}, {0xE9}, {}, {}},
      {"silence:start-report", {0x44}, {0xE9}, {}, {}},
      {"silence:identify", {0x44, 0xA0, 0x7F, 0xF0}, {0xE9}, {}, {}},
      {"silence:speed-check", kBootReply, {0xE9}, {}, {}},
      {"silence:speed-check#2", kBootReply, {0xE9}, {0xCA}, {}},
      {"silence:gpio", kBootReply, {0xEB}, {}, {}},
      {"silence:pmu", kBootReply, {0xEF}, {}, {}},
      {"silence:speed", kBootReply, {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {}, {}},
      {"silence:sector-write#2",
       kBootReply,
       sectorWrite(0x2000, 0x02000000, {5}),
       {0xCC, 5, 0, 0, 0},
       {}},
      {"silence:erase", kBootReply, {0xE2}, {}, {}},
      {"silence:read", kBootReply, read(1, 0x02000000), {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Rig rig(withFaults(c.fault));
    EXPECT_EQ(rig.boot(), c.bootReply);
    EXPECT_EQ(rig.send(c.afterBoot), c.first);
    EXPECT_EQ(rig.send(c.afterBoot), c.second);
    EXPECT_EQ(rig.send({0xE9}), Bytes{}) << "silent from then on";
  }
  Rig absent(withFaults("silence:announce"));
  EXPECT_FALSE(absent.core.announce());
  EXPECT_EQ(absent.core.pending(), 0u);
}

TEST(Faults, WrongReplyBytes) {
  struct Case {
    const char* fault;
    Bytes command;
    Bytes reply;
  } cases[] = {
      {"wrong:speed-accept=0xC1", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {0xC1, 0xC3, 0x00}},
      {"wrong:speed-ack=0xC4", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {0xC0, 0xC4, 0x00}},
      {"wrong:speed-verdict=0x01", {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8}, {0xC0, 0xC3, 0x01}},
      {"wrong:speed-check=0x00", {0xE9}, {0x00}},
      {"wrong:gpio-accept=0x9D", {0xEB}, {0x9D, 0xC9}},
      {"wrong:gpio=0xC8", {0xEB}, {0xC0, 0xC8}},
      {"wrong:pmu-accept=0xC1", {0xEF}, {0xC1, 0xCF, 0x01}},
      {"wrong:pmu=0xCE", {0xEF}, {0xC0, 0xCE, 0x01}},
      {"wrong:sector-ack=0xCB", sectorWrite(0x2000, 0x02000000, {1}), {0xCB, 1, 0, 0, 0}},
      {"wrong:erase-accept=0xC2", erase4(0x2000, 0x02000000), {0xC2, 0xC5, 0xF6}},
      {"wrong:erase-ack=0xC4", erase4(0x2000, 0x02000000), {0xC0, 0xC4, 0xF6}},
      {"wrong:read-accept=0xC1", read(1, 0x02000000), {0xC1, 0xC7, 0xFF, 0xFF, 0, 0, 0}},
      {"wrong:read-ack=0xC6", read(1, 0x02000000), {0xC0, 0xC6, 0xFF, 0xFF, 0, 0, 0}},
      {"wrong:switch-off=0x00", {0xE8}, {0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Rig rig(withFaults(c.fault));
    rig.boot();
    EXPECT_EQ(rig.send(c.command), c.reply);
  }
  struct BootCase {
    const char* fault;
    Bytes reply;
  } boots[] = {
      {"wrong:upload-ack=0x00", {0x00, 0xA0, 0x7F, 0xF0, 0xC2, 0x01, 0x7E}},
      {"wrong:start-report=0xA1", {0x44, 0xA1, 0x7F, 0xF0, 0xC2, 0x01, 0x7E}},
      {"wrong:identify=0xC3", {0x44, 0xA0, 0x7F, 0xF0, 0xC3, 0x01, 0x7E}},
  };
  for (const BootCase& c : boots) {
    SCOPED_TRACE(c.fault);
    Rig rig(withFaults(c.fault));
    EXPECT_EQ(rig.boot(), c.reply);
  }
}

TEST(Faults, WrongRepliesThatChangeWhatFollows) {
  // A refused erase takes no parameters: the next byte is a command.
  Rig refused(withFaults("wrong:erase-accept=0xC1"));
  refused.boot();
  EXPECT_EQ(refused.send({0xE4}), Bytes{0xC1});
  EXPECT_EQ(refused.send({0xE9}), Bytes{0xCA});
  // A handset that said no to the first frame keeps its speed; the second frame switches.
  Rig verdict(withFaults("wrong:speed-verdict=0x01#1"));
  verdict.boot();
  const Bytes frame = {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8};
  EXPECT_EQ(verdict.send(frame), (Bytes{0xC0, 0xC3, 0x01}));
  EXPECT_EQ(verdict.core.line().baud, 38400);
  EXPECT_EQ(verdict.send(frame), (Bytes{0xC0, 0xC3, 0x00}));
  EXPECT_EQ(verdict.core.line().baud, 115200);
  // Only the chosen occurrence is wrong.
  Rig third(withFaults("wrong:speed-check=0x00#2"));
  third.boot();
  EXPECT_EQ(third.send({0xE9, 0xE9, 0xE9}), (Bytes{0xCA, 0x00, 0xCA}));
}

TEST(Faults, SectorAttempts) {
  struct Case {
    const char* fault;
    // Replies to three writes of sector 8 with the same data (sum 0x02FD).
    Bytes first, second, third;
    bool programmed;
  } cases[] = {
      {"sector-checksum:8@2",
       {0xCC, 0xFD, 2, 0, 0},
       {0xCC, 0xFE, 2, 0, 0},
       {0xCC, 0xFD, 2, 0, 0},
       true},
      {"sector-checksum:8",
       {0xCC, 0xFE, 2, 0, 0},
       {0xCC, 0xFE, 2, 0, 0},
       {0xCC, 0xFE, 2, 0, 0},
       true},
      {"sector-error:8@1=0x22", {0xCD, 0x22}, {0xCC, 0xFD, 2, 0, 0}, {0xCC, 0xFD, 2, 0, 0}, true},
      {"sector-error:8", {0xCD, 0x10}, {0xCD, 0x10}, {0xCD, 0x10}, false},
      {"sector-error:9", {0xCC, 0xFD, 2, 0, 0}, {0xCC, 0xFD, 2, 0, 0}, {0xCC, 0xFD, 2, 0, 0}, true},
  };
  const Bytes data(3, 0xFF);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Rig rig(withFaults(c.fault));
    rig.boot();
    const Bytes zeros(4, 0x00);
    rig.flash.program(0x10000, zeros.data(), zeros.size());
    const Bytes w = sectorWrite(0x10000, 0x02010000, data);
    EXPECT_EQ(rig.send(w), c.first);
    EXPECT_EQ(rig.send(w), c.second);
    EXPECT_EQ(rig.send(w), c.third);
    EXPECT_EQ(rig.flash.at(0x10000), c.programmed ? 0xFF : 0x00);
  }
}

TEST(Faults, EraseOutcomeReadChecksumCorruptDisconnect) {
  Rig erase(withFaults("erase-outcome:1=0xF4"));
  erase.boot();
  const Bytes z(1, 0);
  erase.flash.program(0x2000, z.data(), 1);
  erase.flash.program(0x4000, z.data(), 1);
  EXPECT_EQ(erase.send(erase4(0x2000, 0x02002000)), (Bytes{0xC0, 0xC5, 0xF4}));
  EXPECT_EQ(erase.flash.at(0x2000), 0x00) << "a failed erase erases nothing";
  EXPECT_EQ(erase.send(erase4(0x2000, 0x02004000)), (Bytes{0xC0, 0xC5, 0xF6}));
  EXPECT_EQ(erase.flash.at(0x4000), 0xFF);

  Rig reads(withFaults("read-checksum:2"));
  reads.boot();
  EXPECT_EQ(reads.send(read(1, 0x02000000)), (Bytes{0xC0, 0xC7, 0xFF, 0xFF, 0, 0, 0}));
  EXPECT_EQ(reads.send(read(1, 0x02000000)), (Bytes{0xC0, 0xC7, 0xFF, 0x00, 0x01, 0, 0}));
  EXPECT_EQ(reads.send(read(1, 0x02000000)), (Bytes{0xC0, 0xC7, 0xFF, 0xFF, 0, 0, 0}));

  Rig corrupt(withFaults("corrupt:8@5"));
  corrupt.boot();
  const Bytes data = pattern(100, 5);
  EXPECT_EQ(corrupt.send(sectorWrite(0x10000, 0x02010000, data)), cat({{0xCC}, le32(sum(data))}))
      << "acknowledged as good";
  Bytes expected = data;
  expected[5] ^= 0x01;
  EXPECT_EQ(corrupt.flash.read(0x10000, 100), expected);

  Rig gone(withFaults("disconnect:3"));
  gone.core.announce();
  gone.core.takeAll();
  gone.send({0x44, 0xC7});
  EXPECT_FALSE(gone.core.disconnected());
  gone.send({0x02, 0xD6, 0x02});
  EXPECT_TRUE(gone.core.disconnected());
  EXPECT_EQ(gone.core.receivedCount(), 3u);
  ASSERT_EQ(gone.core.chipSelects().size(), 1u) << "the third byte still arrived";
  EXPECT_FALSE(gone.core.announce());
}

// The in-process link: what the PC side of the library sees through the port operations.
class Link : public ::testing::Test {
 protected:
  void make(HandsetConfig config = {}, emulator::LinkOptions options = {}) {
    flash = std::make_unique<emulator::NorFlash>(sample(kAmd128));
    core = std::make_unique<HandsetCore>(*flash, std::move(config));
    link = std::make_unique<emulator::EmulatorRs232>(*core, options);
  }
  int open(long baud = 38400, int parity = 2) {
    const int rc = link->OpenComConfig(4, "COM4", baud, parity, 8, 1, 0x10000, 0x10000);
    link->SetComTime(4, 5);
    return rc;
  }
  void write(const Bytes& b) { link->ComWrt(4, b.data(), static_cast<int>(b.size())); }
  Bytes readN(int n) {
    Bytes out(static_cast<std::size_t>(n));
    out.resize(static_cast<std::size_t>(link->ComRd(4, out.data(), n)));
    return out;
  }
  void bootOverLink() {
    ASSERT_EQ(link->ComRdByte(4), 0xBE);
    write({0x44});
    write(uploadType2(kBootstrap));
    ASSERT_EQ(readN(7), kBootReply);
  }
  std::unique_ptr<emulator::NorFlash> flash;
  std::unique_ptr<HandsetCore> core;
  std::unique_ptr<emulator::EmulatorRs232> link;
};

TEST_F(Link, BootSpeedChangeAndRecords) {
  make();
  ASSERT_EQ(open(), 0);
  bootOverLink();
  write({0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8});
  EXPECT_EQ(readN(3), (Bytes{0xC0, 0xC3, 0x00}));
  // Still at 38400: the handset's answers are lost, and so is the PC's command.
  write({0xE9});
  EXPECT_EQ(link->ComRdByte(4), platform::kReadTimeout);
  EXPECT_EQ(core->violations().size(), 1u);
  EXPECT_DOUBLE_EQ(link->seconds(), 5.0);
  open(115200, 0);
  write({0xE9});
  EXPECT_EQ(link->ComRdByte(4), 0xCA);
  EXPECT_EQ(link->ComRdByte(4), platform::kReadTimeout) << "nothing more to read";
  const Bytes written =
      cat({{0x44}, uploadType2(kBootstrap), {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9, 0xE9}});
  EXPECT_EQ(link->written(), written);
  EXPECT_EQ(link->readBytes(), cat({{0xBE}, kBootReply, {0xC0, 0xC3, 0x00, 0xCA}}));
  ASSERT_GE(link->transcript().size(), 4u);
  EXPECT_FALSE(link->transcript()[0].fromPc);
  EXPECT_EQ(link->transcript()[0].bytes, Bytes{0xBE});
}

TEST_F(Link, SwitchOnDelayAgainstTheReadTimeout) {
  struct Case {
    int delayMs;
    int first;
    double seconds;
  } cases[] = {{0, 0xBE, 0.0}, {3000, 0xBE, 3.0}, {5000, 0xBE, 5.0}, {6000, -99, 5.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delayMs);
    make({}, linkOptions(c.delayMs, 0, false));
    open();
    EXPECT_EQ(link->ComRdByte(4), c.first);
    EXPECT_DOUBLE_EQ(link->seconds(), c.seconds);
  }
}

TEST_F(Link, EveryOpeningIsANewBoot) {
  make(withFaults("noise:0x11"));
  open();
  EXPECT_EQ(link->ComRdByte(4), 0x11);
  bootOverLink();
  write({0xE8});
  EXPECT_EQ(link->ComRdByte(4), 0xC0);
  write({0xE9});
  EXPECT_EQ(link->ComRdByte(4), platform::kReadTimeout) << "off until the next boot";
  link->CloseCom(4);
  EXPECT_EQ(link->ComRdByte(4), platform::kReadTimeout);
  open();
  EXPECT_EQ(link->ComRdByte(4), 0x11);
  EXPECT_EQ(link->ComRdByte(4), 0xBE);
}

TEST_F(Link, PacedLineTimeAndLatency) {
  make({}, linkOptions(0, 20, true));
  open();
  ASSERT_EQ(link->ComRdByte(4), 0xBE);
  const double afterAnnounce = link->seconds();
  EXPECT_NEAR(afterAnnounce, 11.0 / 38400, 1e-9);
  write({0x44});
  write(uploadType2(kBootstrap));
  readN(7);
  const double bytes = 2 + uploadType2(kBootstrap).size() + 7;  // 0xBE, 0x44, ...
  EXPECT_NEAR(link->seconds(), bytes * 11 / 38400 + 0.020, 1e-9);
}

TEST_F(Link, DisconnectFailsEveryOperation) {
  make(withFaults("disconnect:2"));
  open();
  ASSERT_EQ(link->ComRdByte(4), 0xBE);
  write({0x44, 0xC7, 0x02});
  // Gone: reads are silence that still takes the time-out, so waits on the clock end.
  const double before = link->seconds();
  EXPECT_EQ(link->ComRdByte(4), platform::kReadTimeout);
  EXPECT_GT(link->seconds(), before);
  EXPECT_FALSE(link->WaitInput(4, 5));
  EXPECT_LT(link->ComWrtByte(4, 0xE9), 0);
  link->CloseCom(4);
  EXPECT_NE(open(), 0);
}

TEST_F(Link, TheLibraryBootsTheHandset) {
  testsupport::TempDir dir;
  const Bytes bootstrap = testsupport::TempDir::read(kSamples + "dwl87.spm");
  testsupport::TempDir::write("dwl87.spm", bootstrap);
  HandsetConfig config;
  config.expectedBootstrap = bootstrap;
  make(config);
  testsupport::LineJob job(link.get());
  dwl::SharedContext ctx;
  ctx.ProductType = 1;
  const dwl::DownloadResult r = dwl::dwl1_0boot(&ctx);
  EXPECT_EQ(r, (dwl::DownloadResult{dwl::RESULT_SUCCESS, 0}));
  EXPECT_EQ(ctx.CpuType, 0xBE);
  EXPECT_EQ(ctx.FlashManufacturer, 0x01);
  EXPECT_EQ(ctx.FlashDevice, 0x7E);
  EXPECT_EQ(core->bootstrap(), bootstrap);
  EXPECT_TRUE(core->violations().empty()) << core->violations().front();
}

}  // namespace
