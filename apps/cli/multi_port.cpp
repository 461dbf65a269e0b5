#include "apps/cli/multi_port.h"

#include <array>
#include <cctype>
#include <exception>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <streambuf>
#include <thread>
#include <utility>

#include "apps/cli/outcome.h"
#include "dwl/dwl_result.h"
#include "platform/native_rs232.h"
#include "platform/signals.h"

namespace cli {

std::string perPortName(const std::string& file, const std::string& port) {
  std::string tag;
  for (char c : port) tag += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  while (!tag.empty() && tag.front() == '_') tag.erase(tag.begin());
  const std::size_t slash = file.find_last_of('/');
  const std::size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return file + "-" + tag;
  return file.substr(0, dot) + "-" + tag + file.substr(dot);
}

std::vector<std::string> portArguments(const std::vector<std::string>& args, const Options& options,
                                       const std::string& port) {
  std::vector<std::string> out;
  if (args.empty()) return out;
  out.push_back(args[0]);
  out.push_back("--port");
  out.push_back(port);
  bool outputGiven = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto valued = [&](const std::string& name, std::string* value) {
      if (a == name && i + 1 < args.size()) {
        *value = args[++i];
        return true;
      }
      if (a.rfind(name + "=", 0) == 0) {
        *value = a.substr(name.size() + 1);
        return true;
      }
      return false;
    };
    std::string value;
    if (valued("--port", &value)) continue;
    if (a == "--json") continue;
    if (valued("--trace", &value)) {
      out.push_back("--trace");
      out.push_back(perPortName(value, port));
    } else if (options.command == Command::Dump && valued("--output", &value)) {
      out.push_back("--output");
      out.push_back(perPortName(value, port));
      outputGiven = true;
    } else {
      out.push_back(a);
    }
  }
  if (options.command == Command::Dump && !outputGiven) {
    out.push_back("--output");
    out.push_back(perPortName(options.output, port));
  }
  return out;
}

namespace {

// Passes whole lines on to a stream shared by every port's thread, one line at a time under the
// lock, so that lines of different ports never mix; each line gets the prefix.
class LineForwarder final : public std::streambuf {
 public:
  LineForwarder(std::ostream& to, std::mutex& lock, std::string prefix)
      : to_(to), lock_(lock), prefix_(std::move(prefix)) {}
  // What is left after the last newline goes as a line of its own.
  void finish() {
    if (!pending_.empty()) pending_ += '\n';
    forward();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (c == '\n') forward();
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<std::size_t>(n));
    forward();
    return n;
  }

 private:
  void forward() {
    const std::size_t end = pending_.rfind('\n');
    if (end == std::string::npos) return;
    std::lock_guard hold(lock_);
    std::size_t from = 0;
    while (from <= end) {
      const std::size_t nl = pending_.find('\n', from);
      to_ << prefix_;
      to_.write(pending_.data() + from, static_cast<std::streamsize>(nl + 1 - from));
      from = nl + 1;
    }
    to_.flush();
    pending_.erase(0, end + 1);
  }

  std::ostream& to_;
  std::mutex& lock_;
  std::string prefix_;
  std::string pending_;
};

struct PortRun {
  std::string port;
  Outcome outcome;
  bool answered = false;
  int status = 0;
};

}  // namespace

int runSeveralPorts(const std::vector<std::string>& args, const Options& options,
                    const Environment& env, std::ostream& out, std::ostream& err) {
  // Human lines of the runs go where ours would: standard output, unless it holds the JSON.
  const bool jsonl = options.progress == "jsonl";
  std::ostream& human = options.json || jsonl ? err : out;
  std::ostream& portOut = jsonl ? out : human;
  out.flush();
  err.flush();

  std::vector<PortRun> runs(options.ports.size());
  std::mutex lock;
  std::vector<std::thread> threads;
  for (std::size_t p = 0; p < runs.size(); ++p) {
    runs[p].port = options.ports[p];
    threads.emplace_back([&, p] {
      PortRun& run = runs[p];
      const std::string tag = "[" + run.port + "] ";
      // JSON Lines of progress go as they are: each line names its port.
      LineForwarder outLines(portOut, lock, jsonl ? "" : tag), errLines(err, lock, tag);
      std::ostream toOut(&outLines), toErr(&errLines);
      // A port object of its own: jobs on several threads never share one.
      std::unique_ptr<platform::Rs232> serial =
          env.newSerial ? env.newSerial() : std::make_unique<platform::NativeRs232>();
      Environment own = env;
      own.serial = serial.get();
      own.stdoutTerminal = own.stderrTerminal = false;  // a bar redrawn in place would mix
      own.result = &run.outcome;
      own.answered = &run.answered;
      const std::vector<std::string> words = portArguments(args, options, run.port);
      std::vector<const char*> argv;
      for (const std::string& w : words) argv.push_back(w.c_str());
      try {
        run.status = runCli(static_cast<int>(argv.size()), argv.data(), toOut, toErr, own);
      } catch (const std::exception& e) {
        toErr << "kelvane: " << e.what() << '\n';
        run.status = 70;
      }
      toOut.flush();
      toErr.flush();
      outLines.finish();
      errLines.finish();
    });
  }
  for (std::thread& t : threads) t.join();

  // A run stopped by a signal ends as the program alone would have: 128 + the signal.
  const int signal = platform::cancellingSignal();
  nlohmann::json results = nlohmann::json::array();
  int exitStatus = 0;
  std::vector<std::array<std::string, 3>> rows;
  for (PortRun& run : runs) {
    if (signal != 0 && run.answered && run.outcome.result.Family == dwl::RESULT_CANCELLED)
      run.status = platform::exitStatusForSignal(signal);
    nlohmann::json result =
        run.answered ? toJson(run.outcome)
                     : nlohmann::json{{"port", run.port},
                                      {"family", -1},
                                      {"code", run.status},
                                      {"message", "The run ended without a result (exit status " +
                                                      std::to_string(run.status) + ")"}};
    results.push_back(result);
    if (run.status != 0 && exitStatus == 0) exitStatus = run.status;
    const std::string message = result.value("message", std::string());
    rows.push_back({run.port, std::to_string(run.status), message.empty() ? "ok" : message});
  }

  if (options.json) out << jsonText(results) << '\n';
  out.flush();
  if ((options.json || jsonl) && !out) {
    err << "kelvane: the results could not be written to standard output\n";
    if (exitStatus == 0) exitStatus = exitStatusOf({kFamilyLocalFile, 0});
  }
  std::size_t width = 4;
  for (const auto& row : rows) width = std::max(width, row[0].size());
  human << '\n' << "PORT" << std::string(width - 4 + 2, ' ') << "EXIT  RESULT\n";
  for (const auto& row : rows)
    human << row[0] << std::string(width - row[0].size() + 2, ' ') << row[1]
          << std::string(row[1].size() < 4 ? 6 - row[1].size() : 2, ' ') << row[2] << '\n';
  out.flush();
  human.flush();
  return exitStatus;
}

}  // namespace cli
