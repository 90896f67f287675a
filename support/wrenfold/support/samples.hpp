// Sample data for tests, fuzzers and benchmarks: small shapes (text of a few words, random
// bytes, zeros) for tests, and the benchmarks' corpus of prose-like text and binary records. The
// same bytes on every machine (only integer arithmetic on fixed generators), so that runs on
// different machines and days compress and decompress the same data.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <wrenfold/coders.hpp>

namespace wrenfold::support {

using bytes = std::vector<coders::element>;
using coders::element;

class random_source {
 public:
  explicit random_source(std::uint64_t seed) : state(seed) {}
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
  bool one_in(std::uint32_t n) { return below(n) == 0; }

 private:
  std::uint64_t state;
};

// Picks index r of a table with probability proportional to 1 / (r + 1).
class zipf_picker {
 public:
  explicit zipf_picker(std::size_t n) {
    std::uint64_t total = 0;
    for (std::size_t r = 0; r < n; ++r)
      cumulative.push_back(total += (std::uint64_t{1} << 32) / (r + 1));
  }
  std::size_t pick(random_source& rng) const {
    const std::uint64_t u = rng.next() % cumulative.back();
    return static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), u) -
                                    cumulative.begin());
  }

 private:
  std::vector<std::uint64_t> cumulative;
};

// Prose-like text: a vocabulary of made-up words with Zipf frequencies (short words commonest),
// each with a few favourite successors so that phrases recur, sentences with commas and the odd
// number, wrapped lines and paragraphs.
inline bytes make_text(std::size_t size) {
  random_source rng(0x7E47);
  constexpr std::string_view onsets[] = {"b", "c", "d", "f", "g", "h", "l", "m",  "n",  "p",
                                         "r", "s", "t", "v", "w", "",  "",  "br", "st", "th"};
  constexpr std::string_view nuclei[] = {"a", "e", "i", "o", "u", "ea", "ou", "ai"};
  constexpr std::string_view codas[] = {"", "", "n", "r", "s", "t", "nd", "ng", "ck", "ll"};
  std::vector<std::string> words(3000);
  for (auto& word : words) {
    const std::uint32_t syllables = 1 + rng.below(2) + rng.below(2) * rng.below(3);
    while (word.size() < 2) {
      for (std::uint32_t s = 0; s < syllables; ++s) {
        word += onsets[rng.below(std::size(onsets))];
        word += nuclei[rng.below(std::size(nuclei))];
        word += codas[rng.below(std::size(codas))];
      }
    }
  }
  // Roughly shortest first, as in natural languages, without a strict order by length.
  std::vector<std::pair<std::uint32_t, std::string>> ranked;
  for (auto& word : words) {
    ranked.emplace_back(static_cast<std::uint32_t>(word.size()) * 4 + rng.below(12), word);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t r = 0; r < words.size(); ++r) words[r] = ranked[r].second;
  const zipf_picker picker(words.size());
  std::vector<std::array<std::size_t, 4>> successors(words.size());
  for (auto& next : successors) {
    for (auto& word : next) word = picker.pick(rng);
  }

  std::string text;
  text.reserve(size + 256);
  std::size_t line_start = 0;
  std::uint32_t wrap = 60 + rng.below(16);
  auto put_word = [&](const std::string& word) {
    if (text.size() > line_start) {
      if (text.size() - line_start + 1 + word.size() > wrap) {
        text += '\n';
        line_start = text.size();
        wrap = 60 + rng.below(16);
      } else {
        text += ' ';
      }
    }
    text += word;
  };
  while (text.size() < size) {
    const std::uint32_t sentence_words = 4 + rng.below(15);
    std::size_t previous = picker.pick(rng);
    for (std::uint32_t w = 0; w < sentence_words; ++w) {
      previous = rng.below(3) != 0 ? successors[previous][rng.below(4)] : picker.pick(rng);
      std::string word = rng.one_in(60) ? std::to_string(rng.below(2000)) : words[previous];
      if (w == 0 && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 32);
      if (w + 1 == sentence_words) {
        word += rng.one_in(16) ? "?" : rng.one_in(32) ? "!" : ".";
      } else if (rng.one_in(8)) {
        word += rng.one_in(6) ? ";" : ",";
      }
      put_word(word);
    }
    if (rng.one_in(8)) {
      text += "\n\n";
      line_start = text.size();
    }
  }
  text.resize(size);
  return bytes(text.begin(), text.end());
}

// Binary records of 32 bytes, little-endian: a sequence number, a slowly rising timestamp, a kind
// from a few skewed values, sparse flags, a random walk, small counters, a reading with noise in
// its low bits, and a random tag on some records.
inline bytes make_records(std::size_t size) {
  random_source rng(0xB1A5);
  bytes data;
  data.reserve(size + 32);
  auto put = [&](std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) data.push_back(static_cast<element>(value >> (8 * i)));
  };
  std::uint32_t sequence = 1000, timestamp = 1600000000, reading = 20000;
  std::int32_t walk = 0;
  constexpr std::uint8_t kinds[] = {1, 1, 1, 1, 2, 2, 3, 7, 9, 12};
  while (data.size() < size) {
    sequence += rng.one_in(50) ? 2 + rng.below(100) : 1;
    timestamp += 1 + rng.below(8) * rng.below(40);
    walk += static_cast<std::int32_t>(rng.below(9)) - 4;
    reading = reading + rng.below(65) - 32;
    put(sequence, 4);
    put(timestamp, 4);
    put(kinds[rng.below(std::size(kinds))], 1);
    put(rng.one_in(10) ? std::uint64_t{1} << rng.below(8) : 0, 1);
    put(static_cast<std::uint32_t>(walk), 4);
    for (int i = 0; i < 4; ++i) put(rng.below(4) * rng.below(60), 1);
    put(reading, 2);
    put(rng.below(4096), 2);
    put(rng.one_in(8) ? rng.next() : rng.below(256) * 0x01010101u, 8);
    put(kinds[rng.below(std::size(kinds))] * 1000u, 4);
  }
  data.resize(size);
  return data;
}

enum class data_shape { text, random, zeros };

// Small deterministic sample data of the given shape: text from a handful of words (compresses
// well), random bytes (does not), zeros (compresses to almost nothing).
inline bytes sample(data_shape shape, std::size_t size, std::uint32_t seed = 1) {
  bytes data(size);
  random_source rng(seed);
  static constexpr std::string_view words[] = {"the ",  "coder ", "stream ", "zlib ",   "of ",
                                               "data ", "gzip ",  "and ",    "window ", "\n"};
  switch (shape) {
    case data_shape::zeros:
      break;
    case data_shape::random:
      for (auto& b : data) b = static_cast<element>(rng.next());
      break;
    case data_shape::text: {
      std::size_t at = 0;
      while (at < size) {
        const auto word = words[std::min<std::size_t>(rng.below(16), 9)];
        for (char c : word) {
          if (at == size) break;
          data[at++] = static_cast<element>(c);
        }
      }
      break;
    }
  }
  return data;
}

}  // namespace wrenfold::support
