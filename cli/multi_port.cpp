#include "cli/multi_port.h"

#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/outcome.h"
#include "platform/signals.h"

#ifndef _WIN32
#include <signal.h>
#endif

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

std::vector<std::string> childArguments(const std::vector<std::string>& args,
                                        const Options& options, const std::string& port,
                                        const std::string& jsonFile) {
  std::vector<std::string> out;
  if (args.empty()) return out;
  out.push_back(args[0]);
  out.push_back("--port");
  out.push_back(port);
  out.push_back("--json-file");
  out.push_back(jsonFile);
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

struct Child {
  std::string port;
  std::unique_ptr<QProcess> process;
  std::string pending[2];  // stdout, stderr
  std::string jsonFile;
  int status = 0;
};

// Writes the complete lines of a stream, each prefixed with the port.
// JSON Lines of progress go as they are: each line names its port.
void flushLines(std::string& pending, const std::string& port, std::ostream& to, bool all,
                bool prefix = true) {
  const std::string head = prefix ? "[" + port + "] " : "";
  std::size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos) {
    to << head << pending.substr(0, nl) << '\n';
    pending.erase(0, nl + 1);
  }
  if (all && !pending.empty()) {
    to << head << pending << '\n';
    pending.clear();
  }
  to.flush();
}

}  // namespace

int runSeveralPorts(const std::vector<std::string>& args, const Options& options,
                    const std::string& self, std::ostream& out, std::ostream& err,
                    const platform::CancelToken* cancel) {
  // The children write their JSON results here; removed with everything in it at the end.
  QTemporaryDir resultFolder;
  if (!resultFolder.isValid()) {
    err << "kelvane: cannot make a folder for the results: "
        << resultFolder.errorString().toStdString() << '\n';
    return 1;
  }
  // Human lines of the children go where ours would: standard output, unless it holds the JSON.
  const bool jsonl = options.progress == "jsonl";
  std::ostream& human = options.json || jsonl ? err : out;
  std::ostream& childOut = jsonl ? out : human;
  out.flush();
  err.flush();

  std::vector<Child> children(options.ports.size());
  QEventLoop loop;
  std::size_t running = 0;
  auto ended = [&] {
    if (--running == 0) loop.quit();
  };
  for (std::size_t c = 0; c < children.size(); ++c) {
    Child& child = children[c];
    child.port = options.ports[c];
    child.jsonFile = resultFolder.filePath(QStringLiteral("port-%1.json").arg(c)).toStdString();
    const std::vector<std::string> argv = childArguments(args, options, child.port, child.jsonFile);
    QStringList arguments;
    for (std::size_t i = 1; i < argv.size(); ++i) arguments << QString::fromStdString(argv[i]);

    child.process = std::make_unique<QProcess>();
    QProcess* process = child.process.get();
    process->setProgram(QString::fromStdString(self));
    process->setArguments(arguments);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    auto take = [&child, process, &childOut, &err, jsonl](int k) {
      const QByteArray data =
          k == 0 ? process->readAllStandardOutput() : process->readAllStandardError();
      child.pending[k].append(data.constData(), static_cast<std::size_t>(data.size()));
      flushLines(child.pending[k], child.port, k == 0 ? childOut : err, false, k != 0 || !jsonl);
    };
    QObject::connect(process, &QProcess::readyReadStandardOutput, [take] { take(0); });
    QObject::connect(process, &QProcess::readyReadStandardError, [take] { take(1); });
    QObject::connect(
        process, &QProcess::finished,
        [&child, &childOut, &err, take, ended, jsonl](int code, QProcess::ExitStatus how) {
          take(0);
          take(1);
          flushLines(child.pending[0], child.port, childOut, true, !jsonl);
          flushLines(child.pending[1], child.port, err, true);
          // A crash reports the signal number as its code.
          child.status = how == QProcess::NormalExit ? code : 128 + code;
          ended();
        });
    QObject::connect(process, &QProcess::errorOccurred,
                     [&child, &err, process, ended](QProcess::ProcessError error) {
                       if (error != QProcess::FailedToStart) return;
                       err << "[" << child.port << "] kelvane: cannot run this program again for "
                           << "the port: " << process->errorString().toStdString() << '\n';
                       child.status = 127;
                       ended();
                     });
    ++running;
    process->start();
  }
  // A signal to this process alone (a kill, a service manager's stop) reaches the runs too. On
  // Windows a console's Ctrl-C reaches every process of the console by itself.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!cancel || !cancel->cancelled()) return;
    watch.stop();
#ifndef _WIN32
    const int signal = platform::cancellingSignal() ? platform::cancellingSignal() : SIGTERM;
    for (Child& child : children)
      if (child.process->state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(child.process->processId()), signal);
#endif
  });
  watch.start(50);
  if (running > 0) loop.exec();
  watch.stop();

  nlohmann::json results = nlohmann::json::array();
  int exitStatus = 0;
  std::vector<std::array<std::string, 3>> rows;
  for (Child& child : children) {
    std::ifstream in(child.jsonFile);
    const std::string json{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    nlohmann::json result = nlohmann::json::parse(json, nullptr, false);
    if (result.is_discarded() || !result.is_object())
      result = {{"port", child.port},
                {"family", -1},
                {"code", child.status},
                {"message", "The run ended without a result (exit status " +
                                std::to_string(child.status) + ")"}};
    results.push_back(result);
    if (child.status != 0 && exitStatus == 0) exitStatus = child.status;
    const std::string message = result.value("message", std::string());
    rows.push_back({child.port, std::to_string(child.status), message.empty() ? "ok" : message});
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
