#include "station/recipe_file.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "dwl/dwl_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "ops/sha256.h"
#include "platform/input_file.h"

namespace station {

namespace {

namespace fs = std::filesystem;

// Where each value of a JSON text starts: its line by JSON pointer ("/images/0/sha256"); a member
// is placed on its key's line. nlohmann keeps no positions, so this walks the text again after it
// parsed. Also notes the first key given twice in an object, which the parser would take silently.
class ValueLines {
 public:
  explicit ValueLines(const std::string& text) : text_(text) {
    if (text_.rfind("\xEF\xBB\xBF", 0) == 0) i_ = 3;  // a byte order mark, which the parser skips
    value("");
  }
  int line(const std::string& pointer) const {
    // A value not found (a key spelt with escapes) is placed on its parent's line.
    for (std::string p = pointer;; p.erase(p.rfind('/'))) {
      if (const auto at = lines_.find(p); at != lines_.end()) return at->second;
      if (p.empty()) return 1;
    }
  }
  std::string duplicate;  // pointer of the first key given twice
  int duplicateLine = 0;

 private:
  void skipSpace() {
    while (i_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[i_]))) {
      if (text_[i_] == '\n') ++line_;
      ++i_;
    }
  }
  std::string string() {
    std::string out;
    for (++i_; i_ < text_.size() && text_[i_] != '"'; ++i_) {
      if (text_[i_] == '\\') ++i_;
      if (i_ < text_.size()) out += text_[i_];
    }
    ++i_;
    return out;
  }
  void value(const std::string& pointer) {
    skipSpace();
    lines_.emplace(pointer, line_);
    if (i_ >= text_.size()) return;
    const char c = text_[i_];
    if (c == '{' || c == '[') {
      ++i_;
      for (int index = 0;; ++index) {
        skipSpace();
        if (i_ >= text_.size()) return;
        if (text_[i_] == '}' || text_[i_] == ']') break;
        std::string child = pointer + "/" + std::to_string(index);
        if (c == '{') {
          const int keyLine = line_;
          child = pointer + "/" + string();
          if (!lines_.emplace(child, keyLine).second && duplicate.empty()) {
            duplicate = child;
            duplicateLine = keyLine;
          }
          skipSpace();
          ++i_;  // ':'
        }
        value(child);
        skipSpace();
        if (i_ < text_.size() && text_[i_] == ',') ++i_;
      }
      ++i_;
    } else if (c == '"') {
      string();
    } else {
      while (i_ < text_.size() && !std::strchr(",]} \t\r\n", text_[i_])) ++i_;
    }
  }

  const std::string& text_;
  std::size_t i_ = 0;
  int line_ = 1;
  std::map<std::string, int> lines_;
};

// "/images/0/sha256" as a person reads it: images[0].sha256.
std::string keyName(const std::string& pointer) {
  std::string out;
  std::size_t from = 1;
  while (from <= pointer.size()) {
    const std::size_t slash = std::min(pointer.find('/', from), pointer.size());
    const std::string part = pointer.substr(from, slash - from);
    const bool index = !part.empty() && std::isdigit(static_cast<unsigned char>(part[0]));
    out += index ? "[" + part + "]" : (out.empty() ? "" : ".") + part;
    from = slash + 1;
  }
  return out;
}

class Checker {
 public:
  Checker(const std::string& file, const ValueLines& lines, std::vector<std::string>& problems)
      : file_(file), lines_(lines), problems_(problems) {}

  void problem(const std::string& pointer, const std::string& what) {
    problems_.push_back(file_ + ":" + std::to_string(lines_.line(pointer)) + ": " +
                        keyName(pointer) + ": " + what);
  }
  // Unknown keys of an object, and the required ones it lacks.
  bool object(const nlohmann::json& j, const std::string& pointer,
              std::initializer_list<const char*> known, std::initializer_list<const char*> needed) {
    if (!j.is_object()) {
      problems_.push_back(file_ + ":" + std::to_string(lines_.line(pointer)) + ": " +
                          (pointer.empty() ? std::string("the recipe") : keyName(pointer)) +
                          " must be an object { ... }, not " + j.dump());
      return false;
    }
    for (const auto& [key, value] : j.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || key == k;
      if (ok) continue;
      std::string list;
      for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
      problem(pointer + "/" + key, "unknown key (known: " + list + ")");
    }
    for (const char* k : needed)
      if (!j.contains(k))
        problems_.push_back(file_ + ":" + std::to_string(lines_.line(pointer)) + ": " +
                            keyName(pointer + "/" + k) + ": missing");
    return true;
  }
  void integer(const nlohmann::json& j, const std::string& pointer, int first, int last, int* out) {
    if (!j.is_number_integer()) {
      problem(pointer, "must be a whole number " + std::to_string(first) + ".." +
                           std::to_string(last) + ", not " + j.dump());
      return;
    }
    const auto v = j.get<std::int64_t>();
    if (v < first || v > last) {
      problem(pointer, std::to_string(v) + " is outside " + std::to_string(first) + ".." +
                           std::to_string(last));
      return;
    }
    *out = static_cast<int>(v);
  }
  void flag(const nlohmann::json& j, const std::string& pointer, bool* out) {
    if (j.is_boolean())
      *out = j.get<bool>();
    else
      problem(pointer, "must be true or false, not " + j.dump());
  }
  void text(const nlohmann::json& j, const std::string& pointer, std::string* out) {
    if (j.is_string() && !j.get<std::string>().empty())
      *out = j.get<std::string>();
    else
      problem(pointer, "must be a text in quotes, not " + j.dump());
  }

 private:
  const std::string& file_;
  const ValueLines& lines_;
  std::vector<std::string>& problems_;
};

std::string parseFailure(const nlohmann::json::parse_error& e, const std::string& text) {
  std::size_t line = 1;
  for (std::size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) line += text[i] == '\n';
  std::string what = e.what();
  // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..."
  if (const std::size_t colon = what.find(": "); colon != std::string::npos)
    what.erase(0, colon + 2);
  return std::to_string(line) + ": not JSON: " + what;
}

}  // namespace

bool readRecipeFile(const std::string& path, Recipe* recipe, std::vector<std::string>* problems) {
  std::vector<std::string> found;
  auto done = [&] {
    if (problems) *problems = found;
    return found.empty();
  };
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (platform::readInputFile(path, kMaxRecipeFileSize, &bytes, &why) !=
      platform::InputStatus::Ok) {
    found.push_back("cannot read the recipe " + why);
    return done();
  }
  const std::string text(bytes.begin(), bytes.end());
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    found.push_back(path + ":" + parseFailure(e, text));
    return done();
  }
  const ValueLines lines(text);
  Checker check(path, lines, found);
  if (!lines.duplicate.empty())
    found.push_back(path + ":" + std::to_string(lines.duplicateLine) + ": " +
                    keyName(lines.duplicate) + ": given twice");
  Recipe r;
  r.verify = false;  // as on the command line: verify is asked for
  r.checksum = ops::sha256Hex(bytes);
  if (!check.object(j, "",
                    {"name", "revision", "images", "model", "speed", "product_type", "wait_states",
                     "pmu", "verify"},
                    {"name", "revision", "images"}))
    return done();
  if (j.contains("name")) check.text(j["name"], "/name", &r.name);
  if (j.contains("revision")) check.text(j["revision"], "/revision", &r.revision);
  if (j.contains("model")) check.integer(j["model"], "/model", 0, kLastModel, &r.model);
  if (j.contains("speed")) check.integer(j["speed"], "/speed", 0, dwl::kSpeedRows - 1, &r.speed);
  if (j.contains("product_type"))
    check.integer(j["product_type"], "/product_type", 1, 2, &r.productType);
  if (j.contains("pmu")) check.flag(j["pmu"], "/pmu", &r.pmu);
  if (j.contains("verify")) check.flag(j["verify"], "/verify", &r.verify);
  if (j.contains("wait_states")) {
    const nlohmann::json& w = j["wait_states"];
    if (!w.is_array() || w.size() != r.waitStates.size()) {
      check.problem("/wait_states", "must be four numbers [A, B, C, D], not " + w.dump());
    } else {
      for (std::size_t i = 0; i < w.size(); ++i) {
        int v = 0;
        check.integer(w[i], "/wait_states/" + std::to_string(i), 0, kLastWaitState, &v);
        r.waitStates[i] = static_cast<std::uint8_t>(v);
      }
    }
  }
  const fs::path folder = fs::absolute(fs::path(path)).parent_path();
  if (j.contains("images")) {
    const nlohmann::json& images = j["images"];
    if (!images.is_array() || images.empty())
      check.problem("/images",
                    "must be a list of one to four images [ { ... } ], not " + images.dump());
    for (std::size_t i = 0; images.is_array() && i < images.size(); ++i) {
      const std::string at = "/images/" + std::to_string(i);
      const nlohmann::json& image = images[i];
      if (!check.object(image, at, {"slot", "path", "size", "sha256"},
                        {"slot", "path", "size", "sha256"}))
        continue;
      RecipeImage ri;
      if (image.contains("slot")) {
        const nlohmann::json& slot = image["slot"];
        bool known = false;
        for (const dwl::Slot s : kImageSlots) {
          if (slot.is_string() && slot.get<std::string>() == downloader::slotName(s)) {
            ri.slot = s;
            known = true;
          }
        }
        if (!known)
          check.problem(at + "/slot",
                        "must be \"bin1\", \"bin2\", \"ogm1\" or \"ogm2\", not " + slot.dump());
        for (std::size_t k = 0; known && k < r.images.size(); ++k)
          if (r.images[k].slot == ri.slot)
            check.problem(at + "/slot", slot.dump() + " is already the slot of an image above");
      }
      if (image.contains("path")) {
        check.text(image["path"], at + "/path", &ri.path);
        if (!ri.path.empty()) ri.path = (folder / fs::path(ri.path)).lexically_normal().string();
      }
      if (image.contains("size")) {
        const nlohmann::json& size = image["size"];
        if (size.is_number_unsigned() && size.get<std::uint64_t>() > 0)
          ri.size = size.get<std::uint64_t>();
        else
          check.problem(at + "/size", "must be the image's size in bytes, not " + size.dump());
      }
      if (image.contains("sha256")) {
        const nlohmann::json& sha = image["sha256"];
        const bool hex =
            sha.is_string() && sha.get<std::string>().size() == 64 &&
            sha.get<std::string>().find_first_not_of("0123456789abcdef") == std::string::npos;
        if (hex)
          ri.sha256 = sha.get<std::string>();
        else
          check.problem(
              at + "/sha256",
              "must be 64 lower-case hex digits (the image's SHA-256), not " + sha.dump());
      }
      r.images.push_back(ri);
    }
  }
  // In the order of the file, for whoever mends it from the top.
  const auto lineOf = [&](const std::string& problem) {
    return std::atoi(problem.c_str() + std::min(path.size() + 1, problem.size()));
  };
  std::stable_sort(found.begin(), found.end(), [&](const std::string& a, const std::string& b) {
    return lineOf(a) < lineOf(b);
  });
  if (found.empty() && recipe) *recipe = r;
  return done();
}

bool pinImages(Recipe& recipe, std::vector<std::string>* problems) {
  std::vector<std::string> found;
  for (RecipeImage& image : recipe.images) {
    std::vector<std::uint8_t> bytes;
    std::string why;
    // The largest flash the descriptions know: an image beyond it could never be written.
    if (platform::readInputFile(image.path, std::uint64_t{1} << 26, &bytes, &why) !=
        platform::InputStatus::Ok) {
      found.push_back("the " + std::string(downloader::slotName(image.slot)) + " image " + why);
      continue;
    }
    image.sha256 = ops::sha256Hex(bytes);
    image.size = bytes.size();
  }
  if (problems) *problems = found;
  return found.empty();
}

std::string recipeFileText(const Recipe& recipe, const std::string& folder) {
  const fs::path base = fs::absolute(fs::path(folder.empty() ? "." : folder)).lexically_normal();
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (const RecipeImage& image : recipe.images) {
    const fs::path full = fs::absolute(fs::path(image.path)).lexically_normal();
    const fs::path relative = full.lexically_relative(base);
    images.push_back({{"slot", downloader::slotName(image.slot)},
                      {"path", (relative.empty() ? full : relative).generic_string()},
                      {"size", image.size},
                      {"sha256", image.sha256}});
  }
  const nlohmann::ordered_json j = {{"name", recipe.name},
                                    {"revision", recipe.revision},
                                    {"images", images},
                                    {"model", recipe.model},
                                    {"speed", recipe.speed},
                                    {"product_type", recipe.productType},
                                    {"wait_states", recipe.waitStates},
                                    {"pmu", recipe.pmu},
                                    {"verify", recipe.verify}};
  return j.dump(2) + "\n";
}

}  // namespace station
