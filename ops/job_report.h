// The yield of a line from its job logs: passes and failures per slot, per recipe, per station
// and in total, units per hour over the last hour, and the failures grouped by cause. Counts the
// write jobs (a station's, or the command line's write); the other jobs make no units.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ops/job_log.h"

namespace ops {

struct Tally {
  int passed = 0, failed = 0;
};

struct JobReport {
  Tally total;
  std::map<std::string, Tally> slots;     // "station port", or the port alone without a station
  std::map<std::string, Tally> recipes;   // "name revision", "" for jobs without a recipe
  std::map<std::string, Tally> stations;  // "" for jobs without a station's name
  // Failures by result family and message: "FAMILY message" to the count.
  std::map<std::pair<int, std::string>, int> causes;
  // Write jobs that ended within the hour before the report's time.
  int lastHour = 0;
  // Lines that are not a job's record (torn, hand-edited), by "file:line".
  std::vector<std::string> unreadable;
};

// "2026-12-10T08:01:02.123Z" as the log writes it; also without seconds or the Z, or a date
// alone ("2026-12-10", midnight UTC). Empty when the text is none of these.
std::optional<WallClock::time_point> parseIsoUtc(const std::string& text);

// Adds one log line (already parsed) to the report: jobs that started before since are left out;
// now is the end of the last hour.
void addToReport(JobReport& report, const nlohmann::json& line,
                 std::optional<WallClock::time_point> since, WallClock::time_point now);

// Reads every line of a log into the report; false with the reason when the file cannot be read.
bool readIntoReport(JobReport& report, const std::string& path,
                    std::optional<WallClock::time_point> since, WallClock::time_point now,
                    std::string* why);

// The report as tables for people, or as comma-separated values (section,key,passed,failed).
std::string reportText(const JobReport& report);
std::string reportCsv(const JobReport& report);

}  // namespace ops
