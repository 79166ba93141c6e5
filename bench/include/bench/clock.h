// Deterministic virtual clock of the simulated PC.
//
// Time advances only through what the guest does: every executed instruction costs a fixed number of
// cycles, and a call into a platform stub (GetTickCount) costs a fixed number of nanoseconds, as a
// real system call would. Nothing here reads the host's clock.
#pragma once

#include <cstdint>

namespace bench {

struct ClockConfig {
    uint64_t cpu_hz = 400'000'000;       // 33 MHz .. 3 GHz are the figures we care about
    uint32_t cycles_per_insn = 1;        // fixed cost of every executed instruction
    uint64_t syscall_ns = 1000;          // virtual cost of one platform call (GetTickCount)
    uint32_t tick_start_ms = 0x00100000; // GetTickCount at virtual time 0; 32-bit, wraps
    uint64_t start_cycles = 0;           // time-stamp counter at power-on (to place it near 2^32)
    bool tsc_stands_still = false;       // a broken counter: rdtsc always reads start_cycles
};

class VirtualClock {
public:
    explicit VirtualClock(ClockConfig cfg = {}) : cfg_(cfg), cycles_(cfg.start_cycles) {}

    const ClockConfig& config() const { return cfg_; }

    // The time-stamp counter: start_cycles at power-on. Virtual time counts from power-on, so
    // start_cycles moves what rdtsc reads and nothing else.
    uint64_t cycles() const { return cycles_; }
    uint64_t ns() const { return ns_at(cycles_); }  // floor((cycles - start_cycles) * 1e9 / cpu_hz)
    uint64_t ns_at(uint64_t cycle) const;  // the same conversion for an earlier counter value
    uint32_t tick_ms() const;             // tick_start_ms + floor(ns / 1e6), modulo 2^32

    void add_insns(uint64_t n) { cycles_ += n * cfg_.cycles_per_insn; }
    void add_ns(uint64_t ns);             // rounds up to whole cycles
    void add_cycles(uint64_t c) { cycles_ += c; }

private:
    ClockConfig cfg_;
    uint64_t cycles_ = 0;
};

}  // namespace bench
