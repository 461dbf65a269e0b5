// The kelvane program against handset-emulator processes on pseudo-terminals: what a technician
// or a production script sees, real serial port code included.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

const std::string kBin = KELVANE_BINARY_DIR;
const std::string kSrc = KELVANE_SOURCE_DIR;
const std::string kKelvane = kBin + "/apps/cli/kelvane";
const std::string kEmulator = kBin + "/emulator/handset-emulator";
const std::string kMakeImage = kBin + "/emulator/make-demo-image";

struct Finished {
  int status = -1;
  std::string out, err;
};

// What a test does to the program while it runs: a signal once its output holds a text, or its
// standard output closed from the start (a pipe into a program that stopped reading).
struct Meddle {
  std::string after;
  int signal = 0;
  bool closeOutput = false;
};

// Runs a program to its end in the current directory and collects both its outputs.
Finished runProgram(const std::vector<std::string>& args, const Meddle& meddle = {}) {
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
  if (meddle.closeOutput) {
    ::close(outPipe[0]);
    fds[0].fd = -1;
    --open;
  }
  bool signalled = false;
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
      if (meddle.signal && !signalled && (f.out + f.err).find(meddle.after) != std::string::npos) {
        ::kill(pid, meddle.signal);
        signalled = true;
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
    testsupport::copySamples();
    ASSERT_EQ(runProgram({kMakeImage, "200000", "7", "bin1.bin"}).status, 0);
    ASSERT_EQ(runProgram({kMakeImage, "70000", "8", "bin2.bin"}).status, 0);
  }
  Finished kelvane(std::vector<std::string> args, const Meddle& meddle = {}) {
    args.insert(args.begin(), kKelvane);
    return runProgram(args, meddle);
  }
  testsupport::TempDir dir;
};

// Ctrl-C or a termination request stops a job through its cancel: the result in JSON, the port
// closed, whole blocks in the dump; a closed output pipe does not stop a write.
TEST_F(CliPty, SignalsCancelAndAClosedPipeDoesNotKill) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    Meddle meddle;
    int status;
  };
  const Case cases[] = {
      {"Ctrl-C in a write",
       {"--json", "--speed", "1", "write", "--bin1", "bin1.bin"},
       {"image 1/1", SIGINT, false},
       130},
      {"termination in a dump",
       {"--json", "--speed", "1", "dump", "--first", "0", "--last", "20", "--output", "d.bin"},
       {"dump sectors", SIGTERM, false},
       143},
      // A closed terminal or ssh session.
      {"hang-up in a write",
       {"--json", "--speed", "1", "write", "--bin1", "bin1.bin"},
       {"image 1/1", SIGHUP, false},
       129},
      {"closed pipe in a write", {"--speed", "3", "write", "--bin1", "bin2.bin"}, {"", 0, true}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Emulator handset({"--flash-description", "flash.txt", "--pace"});
    std::filesystem::remove("jobs.jsonl");
    std::vector<std::string> args = {"--port", handset.path(), "--log", "jobs.jsonl"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto start = std::chrono::steady_clock::now();
    const Finished f = kelvane(args, c.meddle);
    EXPECT_EQ(f.status, c.status) << f.err;
    if (c.meddle.signal) {
      const nlohmann::json j = nlohmann::json::parse(f.out, nullptr, false);
      ASSERT_TRUE(j.is_object()) << f.out;
      EXPECT_EQ(j["family"], 14);
      // The job is in the log with its cancel.
      std::ifstream log("jobs.jsonl");
      std::string line;
      ASSERT_TRUE(std::getline(log, line));
      EXPECT_EQ(nlohmann::json::parse(line)["result"]["family"], 14);
      EXPECT_EQ(j["message"], "Cancelled by the user");
      EXPECT_NE(f.err.find("kelvane: stopping"), std::string::npos) << f.err;
      // Stopped within a second of the signal: the whole run is far shorter than the job.
      EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                8.0);
    }
    if (c.name == "termination in a dump") {
      const auto size = std::filesystem::file_size("d.bin");
      EXPECT_EQ(size % 0x2000, 0u);
      EXPECT_EQ(nlohmann::json::parse(f.out)["bytes_written"], size);
    }
    if (c.meddle.closeOutput) {
      // Every byte reached the handset: read back, the flash holds the image.
      const Finished d = kelvane({"--port", handset.path(), "-q", "--speed", "3", "dump",
                                  "--offset", "0", "--length", "70000", "--output", "back.bin"});
      EXPECT_EQ(d.status, 0) << d.err;
      EXPECT_EQ(readFile("back.bin"), readFile("bin2.bin"));
    }
  }
}

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

// The progress of several ports shares one standard output: every line whole, each port's own
// ending with its finished event.
TEST_F(CliPty, SeveralPortsProgressLinesStayWhole) {
  Emulator a({"--flash-description", "flash.txt"});
  Emulator b({"--flash-description", "flash.txt"});
  const Finished f = kelvane({"--port", a.path(), "--port", b.path(), "--progress", "jsonl",
                              "--speed", "1", "write", "--bin1", "bin1.bin"});
  EXPECT_EQ(f.status, 0) << f.err;
  std::map<std::string, std::string> last;
  std::istringstream lines(f.out);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    last[j.value("port", std::string())] = j.value("event", std::string());
  }
  EXPECT_EQ(last,
            (std::map<std::string, std::string>{{a.path(), "finished"}, {b.path(), "finished"}}));
  // People's lines go to standard error, each with its port.
  EXPECT_NE(f.err.find("[" + a.path() + "] "), std::string::npos) << f.err;
}

// A signal to the program of several ports stops each port's job within a second, each with its
// cancel in the JSON.
TEST_F(CliPty, SeveralPortsStopTogetherOnASignal) {
  const std::pair<int, int> cases[] = {{SIGTERM, 143}, {SIGINT, 130}, {SIGHUP, 129}};
  for (const auto& [signal, status] : cases) {
    SCOPED_TRACE(signal);
    Emulator a({"--flash-description", "flash.txt", "--pace"});
    Emulator b({"--flash-description", "flash.txt", "--pace"});
    const auto start = std::chrono::steady_clock::now();
    const Finished f = kelvane({"--port", a.path(), "--port", b.path(), "--json", "--speed", "1",
                                "write", "--bin1", "bin1.bin"},
                               {"[" + b.path() + "] image 1/1", signal, false});
    EXPECT_EQ(f.status, status) << f.err;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 8.0);
    const nlohmann::json j = nlohmann::json::parse(f.out, nullptr, false);
    ASSERT_TRUE(j.is_array()) << f.out << f.err;
    ASSERT_EQ(j.size(), 2u);
    for (const nlohmann::json& port : j) EXPECT_EQ(port["family"], 14) << port;
    // The summary gives each port the status the program alone would have ended with.
    for (const std::string& port : {a.path(), b.path()}) {
      std::istringstream row(f.err.substr(f.err.rfind("\n" + port + " ") + 1));
      std::string name, exit;
      row >> name >> exit;
      EXPECT_EQ(exit, std::to_string(status)) << f.err;
    }
  }
}

// A job log that cannot record the jobs fails each port's JSON, not only the exit status.
TEST_F(CliPty, ALogThatCannotBeWrittenFailsEachPort) {
  Emulator a({"--flash-description", "flash.txt"});
  Emulator b({"--flash-description", "flash.txt"});
  const Finished one = kelvane({"--port", a.path(), "--json", "--log", "/dev/full", "info"});
  EXPECT_EQ(one.status, 15) << one.err;
  EXPECT_EQ(nlohmann::json::parse(one.out)["family"], 15);
  const Finished two =
      kelvane({"--port", a.path(), "--port", b.path(), "--json", "--log", "/dev/full", "info"});
  EXPECT_EQ(two.status, 15) << two.err;
  const nlohmann::json j = nlohmann::json::parse(two.out);
  ASSERT_EQ(j.size(), 2u);
  for (const nlohmann::json& port : j) EXPECT_EQ(port["family"], 15) << port;
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
