#include "cli/multi_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/outcome.h"

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
                                        int jsonFd) {
  std::vector<std::string> out;
  if (args.empty()) return out;
  out.push_back(args[0]);
  out.push_back("--port");
  out.push_back(port);
  out.push_back("--json-fd");
  out.push_back(std::to_string(jsonFd));
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
  pid_t pid = -1;
  int fds[3] = {-1, -1, -1};  // stdout, stderr, JSON
  std::string pending[2];
  std::string json;
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
                    const std::string& self, std::ostream& out, std::ostream& err) {
  constexpr int kJsonFd = 3;
  std::vector<Child> children(options.ports.size());
  for (std::size_t c = 0; c < children.size(); ++c) {
    Child& child = children[c];
    child.port = options.ports[c];
    int pipes[3][2];
    for (auto& p : pipes)
      if (::pipe2(p, O_CLOEXEC) != 0) {
        err << "kelvane: cannot start the run for " << child.port << '\n';
        return 1;
      }
    const std::vector<std::string> argv = childArguments(args, options, child.port, kJsonFd);
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    out.flush();
    err.flush();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // dup2 clears close-on-exec on the copies, so only these three reach the child.
      ::dup2(pipes[0][1], 1);
      ::dup2(pipes[1][1], 2);
      ::dup2(pipes[2][1], kJsonFd);
      ::execv(self.c_str(), cargv.data());
      const char text[] = "kelvane: cannot run this program again for the port\n";
      (void)!::write(2, text, sizeof text - 1);
      ::_exit(127);
    }
    for (int k = 0; k < 3; ++k) {
      ::close(pipes[k][1]);
      child.fds[k] = pipes[k][0];
    }
    child.pid = pid;
    if (pid < 0) {
      for (int& fd : child.fds) ::close(fd), fd = -1;
      child.status = 1;
    }
  }

  // Human lines of the children go where ours would: standard output, unless it holds the JSON.
  const bool jsonl = options.progress == "jsonl";
  std::ostream& human = options.json || jsonl ? err : out;
  std::ostream& childOut = jsonl ? out : human;
  while (true) {
    std::vector<pollfd> polls;
    std::vector<std::pair<Child*, int>> owners;
    for (Child& child : children)
      for (int k = 0; k < 3; ++k)
        if (child.fds[k] >= 0) {
          polls.push_back({child.fds[k], POLLIN, 0});
          owners.emplace_back(&child, k);
        }
    if (polls.empty()) break;
    if (::poll(polls.data(), polls.size(), -1) < 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      auto [child, k] = owners[i];
      char buf[4096];
      const ssize_t n = ::read(polls[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(child->fds[k]);
        child->fds[k] = -1;
        if (k < 2)
          flushLines(child->pending[k], child->port, k == 0 ? childOut : err, true,
                     k != 0 || !jsonl);
        continue;
      }
      if (k == 2) {
        child->json.append(buf, static_cast<std::size_t>(n));
      } else {
        child->pending[k].append(buf, static_cast<std::size_t>(n));
        flushLines(child->pending[k], child->port, k == 0 ? childOut : err, false,
                   k != 0 || !jsonl);
      }
    }
  }

  nlohmann::json results = nlohmann::json::array();
  int exitStatus = 0;
  std::vector<std::array<std::string, 3>> rows;
  for (Child& child : children) {
    if (child.pid > 0) {
      int status = 0;
      while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
      }
      child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    nlohmann::json result = nlohmann::json::parse(child.json, nullptr, false);
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
