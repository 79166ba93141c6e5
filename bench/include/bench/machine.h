// The virtual bench: an emulated 32-bit PC (Unicorn) with a simulated board on its port bus.
//
// It loads a real DLL file at a base of its choosing, applies the base relocations, binds the DLL's
// imports to the bench's own platform stubs, runs the entry point with DLL_PROCESS_ATTACH, and calls
// exports at the machine level in the register convention or stdcall, checking after every call what
// the convention promises.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "bench/pe.h"
#include "bench/portbus.h"

namespace bench {

struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One argument as the caller places it.
struct Arg {
    enum Kind : uint8_t { I32, F64, F32, Ptr } kind;
    uint64_t bits;  // I32/Ptr: low 32 bits; F64: the IEEE bits; F32: low 32 bits are the IEEE bits
};
Arg i32(int32_t v);
Arg ptr(uint32_t guest_address);
Arg f64(double v);
Arg f64_bits(uint64_t bits);
Arg f32(float v);
Arg f32_bits(uint32_t bits);

// Register convention: each I32/Ptr goes into the next of EAX, EDX, ECX (declaration order); each
// F64 is pushed in declaration order (the first at the highest address); F32 is not used by it.
// Stdcall: everything on the stack, the first argument at the lowest address.
enum class Conv : uint8_t { Register, Stdcall };

enum class Result : uint8_t { Int, Float, Text };  // what the callee returns: EAX, ST(0), EAX -> text

struct CallOptions {
    uint16_t fpcw = 0x037F;           // the host's x87 control word for this call
    // Report any x87 instruction but the exact 80-bit load and store (FLD/FSTP m80). This emulator
    // raises no x87 exception flag but zero-divide, so a rounding or trapping x87 instruction could
    // not be caught by its flags; it is caught by its opcode instead.
    bool only_exact_x87 = true;
    uint64_t max_insns = 50'000'000;  // a runaway call is stopped and reported as a fault
};

struct CallOutcome {
    uint32_t eax = 0;
    uint8_t st0[10] = {};            // ST(0) as 80 bits, valid when fpu_depth_delta == 1
    int fpu_depth_delta = 0;         // FPU stack depth after minus before
    uint32_t stack_removed = 0;      // argument bytes the callee removed on return
    uint16_t fpcw_after = 0, fpsw_after = 0;
    uint64_t insns = 0;              // instructions executed by the call
    uint64_t cycles = 0, ns = 0;     // virtual time the call took
    std::string fault;               // non-empty: the call did not return normally (what, where)
    std::vector<std::string> violations;  // convention breaches found by the checks

    int32_t i32() const { return static_cast<int32_t>(eax); }
    // ST(0) converted to a double; throws if the 80-bit value is not exactly a double.
    double f64() const;
    uint64_t f64_bits() const;
    float f32() const;
};

struct MachineConfig {
    ClockConfig clock;
    uint32_t load_base = 0x20000000;   // deliberately not a MinGW default image base
    // Instruction limit of the entry point, which may calibrate against GetTickCount for a virtual
    // second or more; beyond it the load fails as a runaway.
    uint64_t load_max_insns = 500'000'000;
};

class Machine {
public:
    explicit Machine(MachineConfig cfg = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void attach(std::shared_ptr<Board> board) { bus_.attach(std::move(board)); }
    PortBus& bus() { return bus_; }
    VirtualClock& clock() { return clock_; }

    // Maps the image, relocates it to load_base, binds imports, and runs the entry point with
    // DLL_PROCESS_ATTACH. Throws PeError/BenchError with a clear message (e.g. an import the bench
    // does not provide is named). `progress` is called now and then during the entry point with the
    // virtual time in ns (used for a progress line during calibration).
    void load(const std::string& path, std::function<void(uint64_t ns)> progress = {});
    void load(PeImage image, std::function<void(uint64_t ns)> progress = {});
    const PeImage& image() const;
    uint32_t base() const;
    bool attach_succeeded() const;     // the entry point returned TRUE

    // Export address, by name or by ordinal; nullopt when there is no such export.
    std::optional<uint32_t> export_address(const std::string& name) const;
    std::optional<uint32_t> export_address(uint32_t ordinal) const;

    // A machine-level call. The bench resets the FPU to an empty stack with the given control
    // word, places canaries in EBX/ESI/EDI/EBP, pushes a sentinel return address and runs to it.
    // After the call it checks: EBX/ESI/EDI/EBP preserved; the stack bytes removed equal
    // `expect_removed`; the FPU stack depth grew by one for Result::Float and is unchanged
    // otherwise; the control word is unchanged; no x87 exception flag was raised. Breaches go in
    // `violations`; a fault (unmapped access, invalid instruction, runaway) goes in `fault`.
    CallOutcome call(uint32_t address, Conv conv, std::span<const Arg> args, Result result,
                     uint32_t expect_removed, CallOptions opt = {});

    // Guest memory for pointer arguments: a scratch area that the bench owns.
    uint32_t alloc(uint32_t size);
    void write(uint32_t address, const void* data, size_t size);
    void read(uint32_t address, void* data, size_t size) const;
    std::string read_cstring(uint32_t address, size_t max = 4096) const;
    template <class T> T peek(uint32_t a) const { T v; read(a, &v, sizeof v); return v; }
    template <class T> void poke(uint32_t a, const T& v) { write(a, &v, sizeof v); }

    // Counts how often execution reaches `address` (e.g. an internal routine found in the link map).
    void count_hits(uint32_t address);
    uint64_t hits(uint32_t address) const;

    uint64_t total_insns() const;
    uint32_t get_tick_count_calls() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    VirtualClock clock_;
    PortBus bus_;
};

// Symbols of the DLL's link map (GNU ld -Map), for tests that reach internal routines and variables.
// Returns the address at the image's preferred base; rebase with Machine::base().
std::optional<uint32_t> map_symbol(const std::string& map_path, const std::string& symbol);

}  // namespace bench
