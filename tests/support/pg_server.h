// A PostgreSQL server of a test's own: the distribution's binaries, a data folder and a socket in
// a folder of the test, no TCP port. The server refuses to run as root, so under root (CI) it runs
// as the distribution's postgres user.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

class PgServer {
 public:
  // folder: made here, removed with the server.
  explicit PgServer(std::filesystem::path folder) : folder_(std::move(folder)) {
    namespace fs = std::filesystem;
    for (const auto& version : fs::directory_iterator("/usr/lib/postgresql", ec_))
      if (fs::exists(version.path() / "bin" / "initdb")) bin_ = version.path() / "bin";
    if (bin_.empty()) return;
    fs::create_directories(folder_ / "sock");
    if (geteuid() == 0) {
      const passwd* user = getpwnam("postgres");
      if (!user) return;
      as_ = "runuser -u postgres -- ";
      for (const fs::path& p : {folder_, folder_ / "sock"})
        if (chown(p.c_str(), user->pw_uid, user->pw_gid) != 0) return;
    }
    ready_ = run("initdb -D '" + (folder_ / "data").string() + "' -A trust -U postgres --no-sync");
  }
  ~PgServer() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Empty when the server can be started; else what is missing.
  std::string missing() const {
    if (bin_.empty()) return "no PostgreSQL server binaries under /usr/lib/postgresql";
    return ready_ ? "" : "initdb failed in " + folder_.string();
  }
  bool start() {
    running_ = ready_ &&
               run("pg_ctl -D '" + (folder_ / "data").string() + "' -l '" +
                   (folder_ / "log").string() + "' -w -t 60 -o \"-k '" +
                   (folder_ / "sock").string() + "' -c listen_addresses='' -c fsync=off\" start");
    return running_;
  }
  bool stop() {
    if (!running_) return true;
    running_ = !run("pg_ctl -D '" + (folder_ / "data").string() + "' -m fast -w stop");
    return !running_;
  }
  std::string url() const {
    return "postgresql:///postgres?host=" + (folder_ / "sock").string() + "&user=postgres";
  }

 private:
  bool run(const std::string& command) const {
    return std::system((as_ + (bin_ / "").string() + command + " >/dev/null 2>&1").c_str()) == 0;
  }

  std::filesystem::path folder_, bin_;
  std::string as_;
  std::error_code ec_;
  bool ready_ = false, running_ = false;
};

}  // namespace testsupport
