// The kelvane program against handset-emulator processes on pseudo-terminals: what a technician
// or a production script sees, real serial port code included.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

const std::string kBin = KELVANE_BINARY_DIR;
const std::string kSrc = KELVANE_SOURCE_DIR;
const std::string kKelvane = kBin + "/cli/kelvane";
const std::string kEmulator = kBin + "/emulator/handset-emulator";
const std::string kMakeImage = kBin + "/emulator/make-demo-image";

struct Finished {
  int status = -1;
  std::string out, err;
};

// Runs a program to its end in the current directory and collects both its outputs.
Finished runProgram(const std::vector<std::string>& args) {
  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return {};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]), ::close(errPipe[0]), ::close(outPipe[1]), ::close(errPipe[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Finished f;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && ::poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? f.out : f.err).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return f;
}

// A handset-emulator process serving one pseudo-terminal for the life of the object.
class Emulator {
 public:
  explicit Emulator(std::vector<std::string> options = {}) {
    int outPipe[2];
    if (::pipe(outPipe) != 0) return;
    options.insert(options.begin(), kEmulator);
    std::vector<char*> argv;
    for (const std::string& a : options) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(outPipe[1], 1);
      ::close(outPipe[0]), ::close(outPipe[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(outPipe[1]);
    out_ = outPipe[0];
    // The device path is the first line.
    pollfd p{out_, POLLIN, 0};
    char c;
    while (::poll(&p, 1, 10000) > 0 && ::read(out_, &c, 1) == 1 && c != '\n') path_ += c;
  }
  ~Emulator() { stop(); }
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  const std::string& path() const { return path_; }
  // Ends the emulator the way an operator does; it saves its flash image on the way out.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string path_;
};

std::vector<std::uint8_t> readFile(const std::string& name) {
  return testsupport::TempDir::read(name);
}

class CliPty : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    fs::copy_file(kSrc + "/samples/flash.txt", "flash.txt");
    fs::copy_file(kSrc + "/samples/dwl87.spm", "dwl87.spm");
    ASSERT_EQ(runProgram({kMakeImage, "200000", "7", "bin1.bin"}).status, 0);
    ASSERT_EQ(runProgram({kMakeImage, "70000", "8", "bin2.bin"}).status, 0);
  }
  Finished kelvane(std::vector<std::string> args) {
    args.insert(args.begin(), kKelvane);
    return runProgram(args);
  }
  testsupport::TempDir dir;
};

TEST_F(CliPty, InfoNamesTheFlash) {
  Emulator handset({"--flash-description", "flash.txt"});
  ASSERT_FALSE(handset.path().empty());
  const Finished f = kelvane({"--port", handset.path(), "info"});
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_NE(f.out.find("Processor 0xBE (PCF5087)"), std::string::npos) << f.out;
  EXPECT_NE(f.out.find("Switched off"), std::string::npos) << f.out;
  EXPECT_EQ(f.err, "");
}

TEST_F(CliPty, WriteVerifyThenDumpBackGivesTheImages) {
  Emulator handset({"--flash-description", "flash.txt"});
  const Finished w = kelvane({"--port", handset.path(), "--json", "write", "--bin1", "bin1.bin",
                              "--bin2", "bin2.bin", "--verify"});
  ASSERT_EQ(w.status, 0) << w.err;
  const nlohmann::json j = nlohmann::json::parse(w.out);
  EXPECT_EQ(j["family"], 0);
  EXPECT_EQ(j["verified"], true);
  EXPECT_EQ(j["bytes_written"], 270000);
  EXPECT_EQ(j["port"], handset.path());
  EXPECT_FALSE(j["flash"]["name"].get<std::string>().empty());

  // bin1 at offset 0 (sectors 0..10 hold 200000 bytes), bin2 at 0x800000 (sectors 142..150).
  const Finished d1 = kelvane({"--port", handset.path(), "-q", "dump", "--first", "0", "--last",
                               "10", "--output", "back1.bin"});
  ASSERT_EQ(d1.status, 0) << d1.err;
  const Finished d2 = kelvane({"--port", handset.path(), "-q", "dump", "--first", "142", "--last",
                               "150", "--output", "back2.bin"});
  ASSERT_EQ(d2.status, 0) << d2.err;
  const auto image1 = readFile("bin1.bin"), image2 = readFile("bin2.bin");
  const auto back1 = readFile("back1.bin"), back2 = readFile("back2.bin");
  ASSERT_EQ(back1.size(), 8u * 0x2000 + 3u * 0x10000);
  ASSERT_EQ(back2.size(), 8u * 0x2000 + 1u * 0x10000);
  EXPECT_TRUE(std::equal(image1.begin(), image1.end(), back1.begin()));
  EXPECT_TRUE(std::equal(image2.begin(), image2.end(), back2.begin()));
  // Past the images the flash is still erased.
  EXPECT_EQ(back1[image1.size()], 0xFF);
}

TEST_F(CliPty, TwoPortsAtOnceAreBothWrittenAndVerified) {
  Emulator a({"--flash-description", "flash.txt", "--flash-image", "a.flash"});
  Emulator b({"--flash-description", "flash.txt", "--flash-image", "b.flash"});
  const Finished f =
      kelvane({"--port", a.path(), "--port", b.path(), "write", "--bin1", "bin1.bin", "--verify"});
  EXPECT_EQ(f.status, 0) << f.out << f.err;
  // Every line of a run is prefixed with its port, and the summary names both.
  std::istringstream lines(f.out);
  std::string line;
  int prefixedA = 0, prefixedB = 0;
  while (std::getline(lines, line)) {
    prefixedA += line.rfind("[" + a.path() + "] ", 0) == 0;
    prefixedB += line.rfind("[" + b.path() + "] ", 0) == 0;
  }
  EXPECT_GT(prefixedA, 0);
  EXPECT_GT(prefixedB, 0);
  EXPECT_NE(f.out.find("PORT"), std::string::npos);
  EXPECT_NE(f.out.find(a.path() + std::string(2, ' ')), std::string::npos);

  // Both flashes hold the image once the emulators have saved them.
  a.stop();
  b.stop();
  const auto image = readFile("bin1.bin");
  for (const char* name : {"a.flash", "b.flash"}) {
    const auto flash = readFile(name);
    ASSERT_GE(flash.size(), image.size()) << name;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << name;
  }
}

TEST_F(CliPty, SeveralPortsReportOneJsonObjectEach) {
  Emulator a({"--flash-description", "flash.txt"});
  const std::string missing = "/dev/kelvane-no-such-port";
  const Finished f = kelvane({"--port", a.path(), "--port", missing, "--json", "info"});
  EXPECT_EQ(f.status, 5);
  const nlohmann::json j = nlohmann::json::parse(f.out);
  ASSERT_TRUE(j.is_array());
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0]["port"], a.path());
  EXPECT_EQ(j[0]["family"], 0);
  EXPECT_EQ(j[1]["port"], missing);
  EXPECT_EQ(j[1]["family"], 5);
  EXPECT_NE(j[1]["detail"].get<std::string>().find("no such device"), std::string::npos)
      << j[1]["detail"];
}

TEST_F(CliPty, MissingDeviceSaysWhy) {
  const Finished f = kelvane({"--port", "/dev/kelvane-no-such-port", "info"});
  EXPECT_EQ(f.status, 5);
  EXPECT_EQ(f.err.substr(0, f.err.find('\n')), "LIB_PC : Default error number _ 0xfffffffa");
  EXPECT_NE(f.err.find("/dev/kelvane-no-such-port"), std::string::npos) << f.err;
  EXPECT_NE(f.err.find("no such device"), std::string::npos) << f.err;
}

TEST_F(CliPty, TraceOfABootHoldsTheBootstrapUpload) {
  Emulator handset({"--flash-description", "flash.txt"});
  ASSERT_EQ(kelvane({"--port", handset.path(), "--trace", "t.log", "-q", "info"}).status, 0);
  std::ifstream trace("t.log");
  std::vector<std::uint8_t> sent;
  std::string text;
  while (std::getline(trace, text)) {
    std::istringstream fields(text);
    double t;
    std::string direction, hex;
    fields >> t >> direction;
    if (direction != "TX") continue;
    while (fields >> hex) sent.push_back(static_cast<std::uint8_t>(std::stoi(hex, nullptr, 16)));
  }
  // 0x44, chip selects of product type 2, the 0x70 block, then the bootstrap as one data block.
  const std::vector<std::uint8_t> head = {0x44, 0xC7, 0x00, 0xD6, 0x00, 0xCF, 0x80, 0xCF,
                                          0xC0, 0x00, 0x03, 0xFF, 0xFF, 0x80, 0x03, 0x40,
                                          0x00, 0x70, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
  ASSERT_GT(sent.size(), head.size() + 2);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), sent.begin()));
  const auto spm = readFile("dwl87.spm");
  const std::size_t n = spm.size() - 1;
  EXPECT_EQ(sent[head.size()], 0x40 | (n >> 8));
  EXPECT_EQ(sent[head.size() + 1], n & 0xFF);
  EXPECT_TRUE(std::equal(spm.begin(), spm.end(), sent.begin() + head.size() + 2));
  const std::vector<std::uint8_t> tail = {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00, 0xE8};
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), sent.begin() + head.size() + 2 + spm.size()));
}

}  // namespace
