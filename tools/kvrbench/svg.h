// An SVG timing diagram of the port accesses that calls made.
//
// One lane per register that the calls touched, in port order; a strobe at each access (blue for a
// write, green for a read, grey for the read the converter discards, red for a flagged access) with
// the byte and the board's remark; the calls as brackets above the lanes; a time axis in µs from
// the start of the first call, spanning the accesses. Two things are drawn on top:
// - a settling wait: from a discarded converter read to the next read of that register, a dimension
//   line with the measured time;
// - a frequency setting: when the calls loaded a count into the timer, a second panel with the
//   square wave the counter then generates, a few periods long, at the board model's frequency.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench/portbus.h"
#include "session.h"

namespace kvrbench {

struct TimingCall {
    std::string label;               // "ead(2) = 0.69458823529411762"
    uint64_t start_ns = 0, end_ns = 0;
};

// The output of a timer counter after a count was loaded.
struct TimingWave {
    double khz = 0;                   // from the board model
    double clock_khz = 0;             // the counter's input clock
    uint32_t divisor = 0;             // the count, 0 taken as its full range
    uint32_t high_clocks = 0, low_clocks = 0;   // one period: high, then low
    uint64_t start_ns = 0;            // the access that completed the count
};

struct TimingPicture {
    std::string title, subtitle;
    const bench::Board* board = nullptr;
    std::vector<TimingCall> calls;
    std::vector<bench::PortAccess> accesses;
    std::optional<TimingWave> wave;
};

std::string render_svg(const TimingPicture& p);

// The picture of calls made by `run`: their accesses, and the square wave when the last of them
// loaded a count on KVR-Sup.
std::string svg_document(const Bench& b, const std::string& dll, std::span<const CallRecord> calls);

}  // namespace kvrbench
