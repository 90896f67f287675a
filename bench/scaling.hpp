// The parallel compressor's scaling report: its speed by thread count, and the size its blocks
// cost, at zlib level 6 with gzip framing, both against the coder on the same input.
#pragma once

#include <span>
#include <string_view>
#include <vector>
#include <wrenfold/coders.hpp>

namespace wrenfold::bench {

// "1,2,4" as thread counts; anything else is fatal.
std::vector<unsigned> parse_threads(std::string_view list);

// For each part: the speed by thread count (1 is always measured, for the speed-up over it; an
// empty list means 1 up to the machine's cores), then by block size at the largest thread count
// with the size over the coder's. Rounds interleaved on the wall clock.
int scaling_mode(std::span<const coders::element> text, std::span<const coders::element> records,
                 std::vector<unsigned> threads, int rounds);

}  // namespace wrenfold::bench
