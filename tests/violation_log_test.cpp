// The emulator's standard error under a stream of violations: the first at once, then a count.
#include "emulator/violation_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ViolationLog, FirstOfABurstAtOnceThenOneCountASecond) {
  struct Step {
    double at;
    const char* violation;  // null: a tick
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> lines;  // after finish()
  } cases[] = {
      {"one violation", {{0.0, "a"}, {5.0, nullptr}}, {"protocol violation: a"}},
      {"a burst within a second",
       {{0.0, "a"}, {0.2, "b"}, {0.5, "c"}, {0.9, nullptr}, {1.0, nullptr}},
       {"protocol violation: a", "2 more protocol violations in the last second, the last: c"}},
      {"a burst over two seconds",
       {{0.0, "a"}, {0.5, "b"}, {1.1, nullptr}, {1.2, "c"}, {1.3, "d"}, {2.2, nullptr}},
       {"protocol violation: a", "1 more protocol violation in the last second, the last: b",
        "2 more protocol violations in the last second, the last: d"}},
      {"quiet second ends the burst",
       {{0.0, "a"}, {1.0, nullptr}, {2.6, "b"}, {2.7, "c"}},
       {"protocol violation: a", "protocol violation: b",
        "1 more protocol violation in the last second, the last: c"}},
      {"no ticks at all",
       {{0.0, "a"}, {0.1, "b"}, {3.0, "c"}},
       {"protocol violation: a", "1 more protocol violation in the last second, the last: b",
        "protocol violation: c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    emulator::ViolationLog log([&](const std::string& line) { lines.push_back(line); });
    for (const Step& s : c.steps) {
      if (s.violation) {
        log.note(s.violation, s.at);
      } else {
        log.tick(s.at);
      }
    }
    log.finish();
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
