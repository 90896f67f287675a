// Reading the targets and printing the tables.
#include "report.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "engines.hpp"
#include "timing.hpp"

namespace wrenfold::bench {

namespace {

std::size_t index_of(const case_result& result, const std::string& engine_name) {
  const auto at = std::find(result.engines.begin(), result.engines.end(), engine_name);
  return static_cast<std::size_t>(at - result.engines.begin());
}

bool has(const case_result& result, const std::string& engine_name) {
  return index_of(result, engine_name) < result.engines.size();
}

double pair_ratio(const case_result& result, const target_type& target) {
  return ratio_of(result.seconds[index_of(result, target.engine)],
                  result.seconds[index_of(result, target.baseline)]);
}

bool applies(const target_type& target, const case_result& result) {
  return target.op == result.op && target.chunk == result.chunk && has(result, target.engine) &&
         has(result, target.baseline);
}

}  // namespace

std::vector<target_type> read_targets(const std::string& path) {
  std::ifstream file(path);
  if (!file) fail("cannot read the targets from " + path);
  std::vector<target_type> targets;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    target_type target;
    std::string bound;
    if (!(fields >> target.engine >> target.baseline >> target.op >> target.chunk >> bound) ||
        (bound.rfind("<=", 0) != 0 && bound.rfind(">=", 0) != 0)) {
      fail("bad target line: " + line);
    }
    target.at_most = bound[0] == '<';
    target.limit = std::stod(bound.substr(2));
    engine(target.engine);  // a name no engine has is fatal
    engine(target.baseline);
    targets.push_back(target);
  }
  return targets;
}

void print_case(const case_result& result, const std::vector<target_type>& targets) {
  std::printf("%-34s", result.label.c_str());
  for (std::size_t e = 0; e < result.engines.size(); ++e) {
    const double seconds = median(result.seconds[e]);
    std::printf("  %s %7.1f", result.engines[e].c_str(),
                static_cast<double>(result.bytes) / 1e6 / seconds);
  }
  for (const auto& target : targets) {
    if (applies(target, result)) {
      std::printf("  %s/%s %.3f", target.engine.c_str(), target.baseline.c_str(),
                  pair_ratio(result, target));
    }
  }
  std::printf("\n");
  std::fflush(stdout);
}

std::size_t print_targets(const std::vector<case_result>& results,
                          const std::vector<target_type>& targets) {
  std::printf("\n%-10s %-10s %-11s %7s %8s %8s %8s  %s\n", "engine", "baseline", "op", "chunk",
              "target", "median", "worst", "met");
  std::size_t met = 0;
  for (const auto& target : targets) {
    std::vector<double> ratios;
    for (const auto& result : results) {
      if (applies(target, result)) ratios.push_back(pair_ratio(result, target));
    }
    if (ratios.empty()) {
      std::printf("%-10s %-10s %-11s %7zu %s%-6.3f  (no case ran)\n", target.engine.c_str(),
                  target.baseline.c_str(), target.op.c_str(), target.chunk,
                  target.at_most ? "<=" : ">=", target.limit);
      continue;
    }
    const double middle = median(ratios);
    const double worst = target.at_most ? *std::max_element(ratios.begin(), ratios.end())
                                        : *std::min_element(ratios.begin(), ratios.end());
    const bool ok = target.at_most ? middle <= target.limit : middle >= target.limit;
    met += ok ? 1 : 0;
    std::printf("%-10s %-10s %-11s %7zu %s%-6.3f %8.3f %8.3f  %s\n", target.engine.c_str(),
                target.baseline.c_str(), target.op.c_str(), target.chunk,
                target.at_most ? "<=" : ">=", target.limit, middle, worst, ok ? "yes" : "NO");
  }
  return met;
}

}  // namespace wrenfold::bench
