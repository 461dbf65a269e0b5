#include "ops/job_report.h"

#ifdef KELVANE_HAVE_POSTGRESQL
#include "ops/pg_job_store.h"
#endif

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ops {

std::optional<WallClock::time_point> parseIsoUtc(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, used = 0;
  std::tm t{};
  const char* p = text.c_str();
  if (std::sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return std::nullopt;
  p += used;
  if (*p == 'T') {
    if (std::sscanf(p, "T%2d:%2d%n", &h, &mi, &used) != 2 || used != 6) return std::nullopt;
    p += used;
    if (*p == ':') {
      if (std::sscanf(p, ":%2d%n", &s, &used) != 1 || used != 3) return std::nullopt;
      p += used;
      if (*p == '.') {
        if (std::sscanf(p, ".%3d%n", &ms, &used) != 1 || used != 4) return std::nullopt;
        p += used;
      }
    }
    if (*p == 'Z') ++p;
  }
  if (*p != '\0' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
    return std::nullopt;
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
#ifdef _WIN32
  const std::time_t seconds = _mkgmtime(&t);
#else
  const std::time_t seconds = timegm(&t);
#endif
  return WallClock::from_time_t(seconds) + std::chrono::milliseconds(ms);
}

void addToReport(JobReport& report, const nlohmann::json& line,
                 std::optional<WallClock::time_point> since, WallClock::time_point now) {
  if (line.value("job", std::string()) != "write") return;
  const auto started = parseIsoUtc(line.value("start", std::string()));
  const auto ended = parseIsoUtc(line.value("end", std::string()));
  if (since && (!started || *started < *since)) return;
  const nlohmann::json& result = line.at("result");
  const bool passed = result.at("success").get<bool>();
  auto count = [&](Tally& t) { ++(passed ? t.passed : t.failed); };
  const std::string station = line.value("station", std::string());
  const std::string port = line.value("port", std::string());
  std::string recipe;
  if (const auto r = line.find("recipe"); r != line.end() && r->is_object())
    recipe = r->value("name", std::string()) + " " + r->value("revision", std::string());
  count(report.total);
  count(report.slots[station.empty() ? port : station + " " + port]);
  count(report.recipes[recipe]);
  count(report.stations[station]);
  if (!passed) {
    std::string message = result.value("message", std::string());
    ++report.causes[{result.value("family", -1), message}];
  }
  if (ended && *ended <= now && now - *ended <= std::chrono::hours(1)) ++report.lastHour;
}

bool readIntoReport(JobReport& report, const std::string& path,
                    std::optional<WallClock::time_point> since, WallClock::time_point now,
                    std::string* why) {
  if (isDatabaseUrl(path)) {
#ifdef KELVANE_HAVE_POSTGRESQL
    PgJobStore database(path, {});
    std::vector<nlohmann::json> lines;
    if (!database.readAll(&lines, why)) return false;
    for (const nlohmann::json& line : lines)
      if (line.is_object()) addToReport(report, line, since, now);
    return true;
#else
    if (why) *why = "this build reads job logs from JSON Lines files only, not from " + path;
    return false;
#endif
  }
  // A FIFO or a device would be waited on, not read.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    if (why) *why = "the job log " + path + " is not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (why) *why = "cannot read the job log " + path;
    return false;
  }
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty()) continue;
    try {
      addToReport(report, nlohmann::json::parse(text), since, now);
    } catch (const nlohmann::json::exception&) {
      report.unreadable.push_back(path + ":" + std::to_string(number));
    }
  }
  if (in.bad()) {
    if (why) *why = "cannot read the job log " + path + " to its end";
    return false;
  }
  return true;
}

namespace {

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

void table(std::ostringstream& out, const char* title, const std::map<std::string, Tally>& rows) {
  std::size_t width = std::string(title).size() + 2;
  for (const auto& [key, t] : rows) width = std::max(width, key.size() + 2);
  out << padded(title, width) << "passed  failed\n";
  for (const auto& [key, t] : rows) {
    char figures[40];
    std::snprintf(figures, sizeof figures, "%6d  %6d\n", t.passed, t.failed);
    out << padded(key.empty() ? "-" : key, width) << figures;
  }
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

std::string reportText(const JobReport& r) {
  std::ostringstream out;
  char line[120];
  std::snprintf(line, sizeof line, "Total: %d passed, %d failed; %d units in the last hour\n\n",
                r.total.passed, r.total.failed, r.lastHour);
  out << line;
  table(out, "Slot", r.slots);
  out << '\n';
  table(out, "Recipe", r.recipes);
  out << '\n';
  table(out, "Station", r.stations);
  if (!r.causes.empty()) {
    out << "\nFailures by cause\n";
    for (const auto& [cause, n] : r.causes) {
      std::snprintf(line, sizeof line, "%6d  family %2d  ", n, cause.first);
      out << line << cause.second << '\n';
    }
  }
  for (const std::string& at : r.unreadable) out << "not a job's record: " << at << '\n';
  return out.str();
}

std::string reportCsv(const JobReport& r) {
  std::ostringstream out;
  out << "section,key,passed,failed\n";
  out << "total,," << r.total.passed << ',' << r.total.failed << '\n';
  out << "units_last_hour,," << r.lastHour << ",\n";
  for (const auto& [section, rows] : {std::pair{"slot", &r.slots}, std::pair{"recipe", &r.recipes},
                                      std::pair{"station", &r.stations}})
    for (const auto& [key, t] : *rows)
      out << section << ',' << csvField(key) << ',' << t.passed << ',' << t.failed << '\n';
  for (const auto& [cause, n] : r.causes)
    out << "cause," << csvField(std::to_string(cause.first) + " " + cause.second) << ",0," << n
        << '\n';
  return out.str();
}

}  // namespace ops
