#include "bench/clock.h"

namespace bench {

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kNsPerMs = 1'000'000;

}  // namespace

// 128-bit intermediates: at 3 GHz a 64-bit cycles * 1e9 product would overflow after ~6 s.
uint64_t VirtualClock::ns_at(uint64_t cycle) const {
    const uint64_t since_power_on = cycle - cfg_.start_cycles;
    return static_cast<uint64_t>(static_cast<unsigned __int128>(since_power_on) * kNsPerSecond / cfg_.cpu_hz);
}

uint32_t VirtualClock::tick_ms() const {
    return static_cast<uint32_t>(cfg_.tick_start_ms + ns() / kNsPerMs);
}

void VirtualClock::add_ns(uint64_t ns) {
    const auto scaled = static_cast<unsigned __int128>(ns) * cfg_.cpu_hz;
    cycles_ += static_cast<uint64_t>((scaled + kNsPerSecond - 1) / kNsPerSecond);
}

}  // namespace bench
