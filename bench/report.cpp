// Reading the targets and printing the tables.
#include "report.hpp"

#include <algorithm>
#include <cmath>
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

double time_ratio(const case_result& result, const std::string& engine_name,
                  const std::string& baseline) {
  return ratio_of(result.seconds[index_of(result, engine_name)],
                  result.seconds[index_of(result, baseline)]);
}

double size_ratio(const case_result& result, const std::string& engine_name,
                  const std::string& baseline) {
  return static_cast<double>(result.sizes[index_of(result, engine_name)]) /
         static_cast<double>(result.sizes[index_of(result, baseline)]);
}

double pair_ratio(const case_result& result, const target_type& target) {
  return target.size ? size_ratio(result, target.engine, target.baseline)
                     : time_ratio(result, target.engine, target.baseline);
}

bool applies(const target_type& target, const case_result& result) {
  return target.op == result.op && target.chunk == result.chunk &&
         (target.level < 0 || target.level == result.level) && has(result, target.engine) &&
         has(result, target.baseline);
}

// Each compared pair's time ratio per op and level as the geometric mean over the cases from
// 1 KiB chunks up, every corpus and framing together: a summary beside the targets' medians.
void print_geometric_means(const std::vector<case_result>& results) {
  struct mean_type {
    std::string pair, op;  // op: "compress L1", "decompress"
    double log_sum = 0;
    std::size_t count = 0;
  };
  std::vector<mean_type> means;
  for (const auto& result : results) {
    if (result.chunk < 1024) continue;
    for (const auto& name : result.engines) {
      const std::string baseline(engine(name).compared_with);
      if (baseline.empty() || !has(result, baseline)) continue;
      const std::string pair = name + "/" + baseline;
      const std::string op =
          result.op + (result.op == "compress" ? " L" + std::to_string(result.level) : "");
      auto at = std::find_if(means.begin(), means.end(),
                             [&](const mean_type& m) { return m.pair == pair && m.op == op; });
      if (at == means.end()) at = means.insert(means.end(), {pair, op});
      at->log_sum += std::log(time_ratio(result, name, baseline));
      ++at->count;
    }
  }
  for (const auto& m : means) {
    std::printf("geometric mean %s %s, %zu cases from 1K chunks: %.3f\n", m.pair.c_str(),
                m.op.c_str(), m.count, std::exp(m.log_sum / static_cast<double>(m.count)));
  }
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
    std::string bound, level, extra;
    if (!(fields >> target.engine >> target.baseline >> target.op >> target.chunk >> bound)) {
      fail("bad target line: " + line);
    }
    if (bound.rfind("size", 0) == 0) {
      target.size = true;
      bound.erase(0, 4);
    }
    if ((bound.rfind("<=", 0) != 0 && bound.rfind(">=", 0) != 0) ||
        (target.size && target.op != "compress")) {
      fail("bad target line: " + line);
    }
    if (fields >> level) {  // optional: "L1" limits the target to compression level 1
      if (level.size() != 2 || level[0] != 'L' || level[1] < '0' || level[1] > '9' ||
          target.op != "compress" || fields >> extra) {
        fail("bad target line: " + line);
      }
      target.level = level[1] - '0';
    }
    target.at_most = bound[0] == '<';
    target.limit = std::stod(bound.substr(2));
    if (left_out(target.engine) || left_out(target.baseline)) {
      std::printf("target skipped, its engine is not in this build: %s\n", line.c_str());
      continue;
    }
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
  std::vector<std::string> printed;  // each pair once
  auto print_pair = [&](const std::string& engine_name, const std::string& baseline) {
    const std::string pair = engine_name + "/" + baseline;
    if (std::find(printed.begin(), printed.end(), pair) != printed.end()) return;
    printed.push_back(pair);
    std::printf("  %s %.3f", pair.c_str(), time_ratio(result, engine_name, baseline));
  };
  for (const auto& target : targets) {
    if (applies(target, result) && !target.size) print_pair(target.engine, target.baseline);
  }
  for (const auto& name : result.engines) {
    const std::string baseline(engine(name).compared_with);
    if (baseline.empty() || !has(result, baseline)) continue;
    print_pair(name, baseline);
    if (result.op == "compress") {
      std::printf("  size %s/%s %.3f", name.c_str(), baseline.c_str(),
                  size_ratio(result, name, baseline));
    }
  }
  std::printf("\n");
  std::fflush(stdout);
}

std::size_t print_targets(const std::vector<case_result>& results,
                          const std::vector<target_type>& targets) {
  std::printf("\n%-10s %-10s %-16s %7s %8s %8s %8s  %s\n", "engine", "baseline", "op", "chunk",
              "target", "median", "worst", "met");
  // A target of one level names it after its op, a size target too: "compress/L1 size".
  auto op_of = [](const target_type& target) {
    return (target.level < 0 ? target.op : target.op + "/L" + std::to_string(target.level)) +
           (target.size ? " size" : "");
  };
  std::size_t met = 0;
  for (const auto& target : targets) {
    std::vector<double> ratios;
    for (const auto& result : results) {
      if (applies(target, result)) ratios.push_back(pair_ratio(result, target));
    }
    if (ratios.empty()) {
      std::printf("%-10s %-10s %-16s %7zu %s%-6.3f  (no case ran)\n", target.engine.c_str(),
                  target.baseline.c_str(), op_of(target).c_str(), target.chunk,
                  target.at_most ? "<=" : ">=", target.limit);
      continue;
    }
    const double middle = median(ratios);
    const double worst = target.at_most ? *std::max_element(ratios.begin(), ratios.end())
                                        : *std::min_element(ratios.begin(), ratios.end());
    const bool ok = target.at_most ? middle <= target.limit : middle >= target.limit;
    met += ok ? 1 : 0;
    std::printf("%-10s %-10s %-16s %7zu %s%-6.3f %8.3f %8.3f  %s\n", target.engine.c_str(),
                target.baseline.c_str(), op_of(target).c_str(), target.chunk,
                target.at_most ? "<=" : ">=", target.limit, middle, worst, ok ? "yes" : "NO");
  }
  print_geometric_means(results);
  return met;
}

}  // namespace wrenfold::bench
