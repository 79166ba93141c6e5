// What the conformance run and the fuzzer share: the boundary values of each argument kind, calling an
// export by its row of the export table without GoogleTest, and the fuzzer itself, which the test
// suite runs with a fixed seed and tools/kvrfuzz runs as long as asked.
//
// The fuzzer calls random exports of one library with random and boundary arguments and checks every
// call against a model of the library: the result, the port trace, the library's writable memory and,
// now and then, every read-back. What it counts as a finding:
//   - a fault (unmapped access, invalid instruction, runaway);
//   - a convention breach reported by the bench (registers, stack bytes, x87 stack, control word,
//     exception flags, any x87 instruction but an exact 80-bit load or store);
//   - a port access that the bus flags (outside the board's map, against a register's direction, a
//     conversion read before the converter settled);
//   - a result, or a port trace, other than the model's;
//   - a side effect of a failed call (a port access, a change of the library's memory, a read-back
//     that moved), or of a call that sets nothing;
//   - a board register that disagrees with the read-back after a successful setting.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/boards.h"
#include "bench/machine.h"
#include "common/exports.h"

namespace kvrfuzz {

enum class Lib { Kvrio, Kvrextio };
const char* lib_name(Lib lib);

// The virtual clock of the runs: the processor's clock (400 MHz unless asked) and a cheap tick-counter
// poll, so that loading kvrio takes a fraction of a second of real time.
bench::ClockConfig quick_clock(uint64_t cpu_hz = 400'000'000);

// One library loaded on its simulated board.
struct Target {
    Lib lib;
    std::shared_ptr<bench::KvrBoard> kvr;     // kvrio's board
    std::shared_ptr<bench::KvrSupBoard> sup;  // kvrextio's board
    std::unique_ptr<bench::Machine> machine;
};
Target load(Lib lib, const std::string& dll_dir, uint64_t cpu_hz = 400'000'000);

// Boundary values of each argument kind. Channels: every valid channel of both boards, their low-byte
// and low-16-bit aliases, negatives and the ends of the 32-bit range. Doubles and singles: both zeros,
// subnormals, quiet and signalling NaNs of both signs, both infinities, 2^63 and its neighbours, huge
// values, and the ties and range ends of both boards.
const std::vector<int32_t>& boundary_channels();
const std::vector<int32_t>& boundary_codes();        // codes and states
const std::vector<uint64_t>& boundary_int_doubles();  // doubles standing for a channel or state
const std::vector<uint64_t>& boundary_volts();        // doubles standing for volts or kHz
const std::vector<uint32_t>& boundary_singles();

std::string describe_args(const kvr::Export& e, std::span<const bench::Arg> args);

struct FuzzOptions {
    Lib lib = Lib::Kvrio;
    std::string dll_dir;
    uint64_t calls = 20000;
    uint64_t seed = 1;
    uint64_t cpu_hz = 400'000'000;
    // Each call runs under a host control word drawn at random: the usual ones (64-, 53- and 24-bit
    // precision, the four rounding modes, a Pascal host's unmasked exceptions) and arbitrary ones.
    bool random_control_words = true;
    // Share of failed calls after which every read-back of every channel is compared with the model.
    double readback_rate = 0.125;
    size_t keep = 20;  // findings kept in full; all are counted
};

struct FuzzReport {
    Lib lib = Lib::Kvrio;
    uint64_t calls = 0;          // fuzzed calls
    uint64_t check_calls = 0;    // read-backs made by the checks
    uint64_t failed_calls = 0;   // fuzzed calls that the model expects to fail
    uint64_t reloads = 0;        // the library is loaded again after a fault
    std::map<std::string, uint64_t> per_export;         // fuzzed calls of each export
    std::map<std::string, uint64_t> failed_per_export;  // of which the model expected to fail
    uint64_t faults = 0, violations = 0, stray_ports = 0, wrong_results = 0, wrong_traces = 0,
             side_effects = 0, register_mismatches = 0;
    std::vector<std::string> examples;

    uint64_t findings() const
    {
        return faults + violations + stray_ports + wrong_results + wrong_traces + side_effects +
               register_mismatches;
    }
    std::string summary() const;  // one line per kind of finding, then the examples
};

FuzzReport fuzz(const FuzzOptions& opt);

}  // namespace kvrfuzz
