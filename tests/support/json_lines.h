// JSON Lines as the job log and the progress stream write them: one object a line.
#pragma once

#include <fstream>
#include <istream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<nlohmann::json> jsonLines(std::istream& in) {
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

inline std::vector<nlohmann::json> jsonLinesOf(const std::string& path) {
  std::ifstream in(path);
  return jsonLines(in);
}

}  // namespace testsupport
