// The emulated handset on a real pseudo-terminal, driven by a small PC-side script written with
// plain termios, read and write: boot, write a sector, read it back, switch off.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace {

using testsupport::be32;
using testsupport::Bytes;
using testsupport::cat;
using testsupport::le32;
using testsupport::sum;

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";
constexpr int kWaitMs = 5000;

// The PC side: a raw serial device.
class PcPort {
 public:
  explicit PcPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
      ::cfmakeraw(&t);
      ::cfsetspeed(&t, B38400);
      ::tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~PcPort() { close(); }
  bool ok() const { return fd_ >= 0; }
  void setSpeed(speed_t speed) {
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfsetspeed(&t, speed);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  // Up to n bytes, waiting at most kWaitMs for each; fewer when the line falls silent or hangs up.
  Bytes read(std::size_t n, int waitMs = kWaitMs) {
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN)) break;
      const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // The boot's wake-up and upload: answer the first 0xBE, skip the announcements that crossed
  // the answer, and return the bytes from the upload acknowledge on.
  Bytes boot(const Bytes& bootstrap, std::size_t replyBytes) {
    if (read(1) != Bytes{0xBE}) return {};
    write({0x44});
    const std::size_t n = bootstrap.size() - 1;
    write(cat({{0xC7, 0x02, 0xD6, 0x02, 0xCF, 0x82, 0xCF, 0xC2},
               {0x00, 0x03, 0xFF, 0xFF, 0x80, 0x03, 0x40, 0x00, 0x70},
               {0x00, 0x03, 0x00, 0x00, 0x00, 0x00},
               {static_cast<std::uint8_t>(0x40 | (n >> 8)), static_cast<std::uint8_t>(n)},
               bootstrap,
               {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}}));
    Bytes first = read(1);
    while (first == Bytes{0xBE}) first = read(1);
    return cat({first, read(replyBytes - 1)});
  }

 private:
  int fd_ = -1;
};

const Bytes kBootReply = {0x44, 0xA0, 0x7F, 0xF0, 0xC2, 0x01, 0x7E};

Bytes image(std::size_t n) {
  Bytes out(n);
  std::uint32_t x = 99;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

dwl::FlashDescription amd128() {
  dwl::FlashDescription d;
  std::string why;
  EXPECT_TRUE(emulator::loadFlashDescription(kSamples + "flash.txt", std::nullopt, d, &why)) << why;
  return d;
}

TEST(PtyServer, BootWriteReadBackSwitchOffThenBootAgain) {
  emulator::NorFlash flash(amd128());
  emulator::HandsetCore core(flash, {});
  int switchOffs = 0;
  core.onSwitchOff = [&] { ++switchOffs; };
  std::vector<std::string> violations;
  core.onViolation = [&](const std::string& text) { violations.push_back(text); };
  emulator::PtyServer server(core);
  std::string why;
  ASSERT_TRUE(server.open(&why)) << why;
  std::thread serving([&] { server.serve(); });

  const Bytes bootstrap = testsupport::TempDir::read(kSamples + "dwl87.spm");
  const Bytes data = image(20000);
  {
    PcPort pc(server.slavePath());
    ASSERT_TRUE(pc.ok());
    EXPECT_EQ(pc.boot(bootstrap, kBootReply.size()), kBootReply);
    pc.write({0xEB});
    EXPECT_EQ(pc.read(2), (Bytes{0xC0, 0xC9}));
    pc.write({0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8});
    EXPECT_EQ(pc.read(3), (Bytes{0xC0, 0xC3, 0x00}));
    // Still at 38400: lost on the line, and noticed.
    pc.write({0xE9});
    EXPECT_EQ(pc.read(1, 300), Bytes{});
    pc.setSpeed(B115200);
    pc.write({0xE9});
    EXPECT_EQ(pc.read(1), Bytes{0xCA});
    pc.write(cat({{0xEA}, be32(0x10000), be32(0x02010000), be32(20000), data}));
    EXPECT_EQ(pc.read(5), cat({{0xCC}, le32(sum(data))}));
    pc.write(cat({{0xE6}, be32(20000), be32(0x02010000)}));
    EXPECT_EQ(pc.read(2 + 20000 + 4), cat({{0xC0, 0xC7}, data, le32(sum(data))}));
    pc.write({0xE8});
    EXPECT_EQ(pc.read(1), Bytes{0xC0});
  }
  {
    // Reopening the device is the next boot: the boot ROM announces again at 38400.
    PcPort pc(server.slavePath());
    EXPECT_EQ(pc.read(1), Bytes{0xBE});
  }
  server.stop();
  serving.join();
  EXPECT_EQ(flash.read(0x10000, data.size()), data);
  EXPECT_EQ(switchOffs, 1);
  EXPECT_EQ(server.boots(), 2);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].find("PC runs at 38400 baud, the handset at 115200"), std::string::npos)
      << violations[0];
  EXPECT_TRUE(core.bootstrap().empty()) << "the second boot starts from a clean boot ROM";
}

// Each PC finds the device as the first one did, whatever the last one set: Wine refuses a port
// whose rate shows as BOTHER, and fails to set even parity (which a pseudo-terminal drops) when
// nothing else changes.
TEST(PtyServer, EachPcFindsTheFirstSettings) {
  emulator::NorFlash flash(amd128());
  emulator::HandsetCore core(flash, {});
  emulator::PtyServer server(core);
  std::string why;
  ASSERT_TRUE(server.open(&why)) << why;
  std::thread serving([&] { server.serve(); });
  auto settings = [&] {
    const int fd = ::open(server.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    return t;
  };
  const termios first = settings();
  {
    const int fd = ::open(server.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios t = first;
    t.c_iflag |= IGNBRK | INPCK;
    t.c_cflag |= CLOCAL;
    ::cfsetspeed(&t, B115200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  termios now{};
  for (int i = 0; i < 100; ++i) {
    now = settings();
    if (::cfgetospeed(&now) == B38400 && now.c_cflag == first.c_cflag) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(::cfgetospeed(&now), B38400);
  EXPECT_EQ(now.c_cflag, first.c_cflag);
  EXPECT_EQ(now.c_iflag, first.c_iflag);
  server.stop();
  serving.join();
}

// Wine sets a rate outside the termios table as 38400 with a custom divisor, which a
// pseudo-terminal cannot hold; with customRateAs38400, 38400 stands for such rates and no other.
TEST(PtyServer, ThirtyEightFourHundredMayStandForACustomRate) {
  struct Case {
    const char* name;
    bool option;
    Bytes speed;  // the speed command's parameters and sum
    bool heard;
  };
  const Case cases[] = {
      {"220338 taken as 38400", true, {0xB0, 0xFF, 0xFD, 0x02, 0xAC}, true},
      {"220338 without the option", false, {0xB0, 0xFF, 0xFD, 0x02, 0xAC}, false},
      {"115200 is never 38400", true, {0x00, 0xFF, 0xF9, 0x01, 0xF8}, false},
  };
  const Bytes bootstrap = testsupport::TempDir::read(kSamples + "dwl87.spm");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emulator::NorFlash flash(amd128());
    emulator::HandsetCore core(flash, {});
    emulator::PtyServer server(core, {.customRateAs38400 = c.option});
    std::string why;
    ASSERT_TRUE(server.open(&why)) << why;
    std::thread serving([&] { server.serve(); });
    {
      PcPort pc(server.slavePath());
      EXPECT_EQ(pc.boot(bootstrap, kBootReply.size()), kBootReply);
      pc.write({0xEB});
      EXPECT_EQ(pc.read(2), (Bytes{0xC0, 0xC9}));
      pc.write(cat({{0xE0}, c.speed}));
      EXPECT_EQ(pc.read(3), (Bytes{0xC0, 0xC3, 0x00}));
      // The PC stays at 38400.
      pc.write({0xE9});
      EXPECT_EQ(pc.read(1, c.heard ? kWaitMs : 300), c.heard ? Bytes{0xCA} : Bytes{});
    }
    server.stop();
    serving.join();
  }
}

TEST(PtyServer, TheNextHandsetComesOnAGivenTimeAfterASwitchOff) {
  emulator::NorFlash flash(amd128());
  emulator::HandsetCore core(flash, {});
  emulator::LinkOptions options;
  options.powerOnAgainMs = 600;
  emulator::PtyServer server(core, options);
  std::string why;
  ASSERT_TRUE(server.open(&why)) << why;
  std::thread serving([&] { server.serve(); });
  {
    PcPort pc(server.slavePath());
    ASSERT_TRUE(pc.ok());
    EXPECT_EQ(pc.boot(testsupport::TempDir::read(kSamples + "dwl87.spm"), kBootReply.size()),
              kBootReply);
    pc.write({0xE8});
    EXPECT_EQ(pc.read(1), Bytes{0xC0});
    const auto off = std::chrono::steady_clock::now();
    EXPECT_EQ(pc.read(1, 400), Bytes{});  // no handset yet
    // The next one, on the port that stayed open.
    EXPECT_EQ(pc.read(1, 2000), Bytes{0xBE});
    EXPECT_GE(std::chrono::steady_clock::now() - off, std::chrono::milliseconds(550));
  }
  server.stop();
  serving.join();
  EXPECT_EQ(server.boots(), 2);
}

TEST(PtyServer, DisconnectHangsUpTheDevice) {
  emulator::NorFlash flash(amd128());
  emulator::HandsetConfig config;
  config.faults.disconnectAfter = 2;
  emulator::HandsetCore core(flash, config);
  emulator::PtyServer server(core);
  ASSERT_TRUE(server.open(nullptr));
  std::thread serving([&] { server.serve(); });
  PcPort pc(server.slavePath());
  ASSERT_EQ(pc.read(1), Bytes{0xBE});
  pc.write({0x44, 0xC7, 0x02});
  EXPECT_EQ(pc.read(1), Bytes{}) << "nothing but a hang-up";
  serving.join();  // returns by itself once the device is gone
  EXPECT_TRUE(server.disconnected());
  EXPECT_EQ(core.receivedCount(), 2u);
}

// The program, as a script or the demo runs it.
class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProgram)) GTEST_SKIP() << kProgram << " is not built";
  }
  // Starts the program; returns the first line of its output.
  std::string start(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return {};
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      const int err = ::open("emulator.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) ::dup2(err, 2);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(kProgram)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(kProgram, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = ::fdopen(out[0], "r");
    char line[256] = {};
    if (!out_ || !std::fgets(line, sizeof line, out_)) return {};
    std::string s = line;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Sends the signal and returns the exit status.
  int stop(int sig) {
    ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_) std::fclose(out_);
    out_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void TearDown() override {
    if (pid_ > 0) stop(SIGKILL);
  }

  static constexpr const char* kProgram = KELVANE_BINARY_DIR "/emulator/handset-emulator";
  testsupport::TempDir dir;
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
};

TEST_F(Program, OptionsFaultsImageAndTrace) {
  const std::string slave =
      start({"--flash-description", kSamples + "flash.txt", "--flash-id", "0x89:0x18",
             "--flash-image", "image.bin", "--fault", "wrong:gpio=0xC8", "--trace", "trace.txt",
             "--expect-bootstrap", kSamples + "dwl87.spm"});
  ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  const Bytes data = image(300);
  {
    PcPort pc(slave);
    EXPECT_EQ(pc.boot(testsupport::TempDir::read(kSamples + "dwl87.spm"), 7),
              (Bytes{0x44, 0xA0, 0x7F, 0xF0, 0xC2, 0x89, 0x18}));
    pc.write({0xEB});
    EXPECT_EQ(pc.read(2), (Bytes{0xC0, 0xC8}));
    pc.write(cat({{0xEA}, be32(0x2000), be32(0x02002000), be32(300), data}));
    EXPECT_EQ(pc.read(5), cat({{0xCC}, le32(sum(data))}));
  }
  EXPECT_EQ(stop(SIGTERM), 0);
  const Bytes saved = testsupport::TempDir::read("image.bin");
  ASSERT_EQ(saved.size(), 0x1000000u);
  EXPECT_EQ(Bytes(saved.begin() + 0x2000, saved.begin() + 0x2000 + 300), data);
  EXPECT_EQ(saved[0x2000 + 300], 0xFF);
  std::ifstream trace("trace.txt");
  const std::string text{std::istreambuf_iterator<char>(trace), std::istreambuf_iterator<char>()};
  EXPECT_NE(text.find("PC> 44"), std::string::npos);
  EXPECT_NE(text.find("<HS C0 C8"), std::string::npos);
  EXPECT_EQ(text.find("!!"), std::string::npos) << "no violation expected:\n" << text;

  // The saved image is where the next run starts from.
  const std::string again = start({"--flash-description", kSamples + "flash.txt", "--flash-id",
                                   "0x89:0x18", "--flash-image", "image.bin"});
  {
    PcPort pc(again);
    ASSERT_EQ(pc.boot(testsupport::TempDir::read(kSamples + "dwl87.spm"), 7).size(), 7u);
    pc.write(cat({{0xE6}, be32(300), be32(0x02002000)}));
    EXPECT_EQ(pc.read(2 + 300 + 4), cat({{0xC0, 0xC7}, data, le32(sum(data))}));
  }
  EXPECT_EQ(stop(SIGINT), 0);
}

std::vector<std::string> errLines() {
  std::ifstream in("emulator.err");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The violations standard error accounts for: one per line, plus the counts of the summaries.
long countViolations(const std::vector<std::string>& lines) {
  long counted = 0;
  const std::string more = "handset-emulator: ";
  for (const std::string& line : lines) {
    if (line.find("protocol violation: ") != std::string::npos) {
      ++counted;
    } else if (line.find(" more protocol violation") != std::string::npos) {
      counted += std::stol(line.substr(more.size()));
    }
  }
  return counted;
}

// A PC streaming bytes the boot ROM does not expect: one violation per byte, but standard
// error gets the first and a count, and the count misses none.
TEST_F(Program, AStreamOfViolationsIsCountedNotListed) {
  const std::string slave = start({"--flash-description", kSamples + "flash.txt"});
  ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  constexpr int kBytes = 5000;
  {
    PcPort pc(slave);
    ASSERT_EQ(pc.read(1), Bytes{0xBE});
    pc.write(Bytes(kBytes, 0x00));
    // The port stays open until the handset has taken every byte (a close ends its session):
    // its once-a-second summaries add up to all of them.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (countViolations(errLines()) < kBytes && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(stop(SIGTERM), 0);
  const std::vector<std::string> lines = errLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "handset-emulator: protocol violation: boot ROM waits for 0x44 but got 0x00");
  EXPECT_LE(lines.size(), 4u);
  EXPECT_EQ(countViolations(lines), kBytes);
}

TEST_F(Program, RefusesBadArguments) {
  struct Case {
    std::vector<std::string> args;
  } cases[] = {
      {{"--fault", "wrong:nothing=1"}},
      {{"--flash-id", "137:24:1"}},
      {{"--latency-ms", "-4"}},
      {{"--flash-description", "missing.txt"}},
      {{"--flash-description", kSamples + "flash.txt", "--flash-id", "0x20:0x20"}},
      {{"--bogus"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(start(c.args), "") << "no device path on a refused start";
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    std::fclose(out_);
    out_ = nullptr;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
  }
  // --help and --version print their line and exit; the first line is the one start() reads.
  EXPECT_EQ(start({"--help"}).rfind("A software handset", 0), 0u);
  EXPECT_EQ(stop(0), 0);
  EXPECT_EQ(start({"--version"}), "handset-emulator " KELVANE_VERSION);
  EXPECT_EQ(stop(0), 0);
}

}  // namespace
