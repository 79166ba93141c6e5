#include "bench/machine.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <unordered_map>

namespace bench {

namespace {

// ---- guest memory map ---------------------------------------------------------------------------
// Page 0 stays unmapped so null pointers fault. The image may go anywhere between the low area
// and the stub page.
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kStackBase = 0x00100000, kStackSize = 0x00100000;
constexpr uint32_t kStackTop = kStackBase + kStackSize;
constexpr uint32_t kHeapBase = 0x00400000, kHeapSize = 0x00100000;
constexpr uint32_t kLowAreaEnd = kHeapBase + kHeapSize;
constexpr uint32_t kStubPage = 0x7FFE0000;
// Each platform function is `int 0x2E; ret N` at its own slot; the interrupt hook recognises the
// stub by the EIP after the int.
constexpr uint32_t kGetTickCountStub = kStubPage;
constexpr uint8_t kStubInterrupt = 0x2E;
constexpr uint8_t kGetTickCountCode[] = {0xCD, kStubInterrupt, 0xC3};  // int 0x2E; ret
constexpr uint32_t kStubIntLength = 2;
// Return address pushed for every call; emulation stops when EIP reaches it. The page is filled
// with hlt so that anything reaching it by other means stops too.
constexpr uint32_t kSentinel = kStubPage + 0x800;
constexpr uint8_t kHlt = 0xF4;

constexpr uint32_t kHeapAlign = 16;
constexpr uint32_t kArgAlign = 16;
// Arguments go this far below the top of the stack, as if the caller had a frame of its own: a
// callee may legitimately look at its caller's stack (e.g. a probe of [esp+N] past its arguments).
constexpr uint32_t kCallerFrame = 0x100;
constexpr uint32_t kMaxArgBytes = 0x10000;

// ---- registers and conventions ------------------------------------------------------------------
constexpr uint32_t kCanaryEbx = 0xEB0C0DE1, kCanaryEsi = 0xE51C0DE2, kCanaryEdi = 0xED1C0DE3,
                   kCanaryEbp = 0xEB9C0DE4;
constexpr uint32_t kUnusedArgReg = 0xBAD0A5ED;   // EAX/EDX/ECX when they carry no argument
constexpr uint32_t kEflagsReset = 0x00000002;    // reserved bit 1 set, DF clear
constexpr uint32_t kEflagsDf = 0x00000400;
constexpr uint32_t kCr0Ne = 0x20;                // unmasked x87 exceptions trap (#MF) as on Windows
constexpr uint16_t kFpuStatusClear = 0;          // TOP = 0, no flags
constexpr uint16_t kFpuTagsEmpty = 0xFFFF;       // two bits per register, 11 = empty
constexpr uint16_t kFpuExceptionFlags = 0x00BF;  // IE DE ZE OE UE PE, SF, ES
constexpr unsigned kFpuTopShift = 11;
constexpr uint32_t kDllProcessAttach = 1;
constexpr uint32_t kDllMainArgBytes = 12;

// ---- PE -----------------------------------------------------------------------------------------
constexpr uint16_t kFileRelocsStripped = 0x0001;

// ---- code hook classification of image addresses ------------------------------------------------
constexpr uint8_t kUnknown = 0;   // not yet seen
constexpr uint8_t kKnown = 1;     // seen; nothing special unless another bit says so
constexpr uint8_t kRdtsc = 2;
constexpr uint8_t kCounted = 4;   // count_hits() was asked for this address
constexpr uint8_t kX87 = 8;       // an x87 instruction other than an 80-bit load or store
constexpr uint8_t kRdtscOpcode[] = {0x0F, 0x31};

// x87 opcodes are D8..DF after any prefixes. A few x87 instructions are exact whatever the control
// word and raise nothing but a stack fault (which the tag-word check catches): FLD m80 (DB /5) and
// FSTP m80 (DB /7), even for a signalling NaN; FILD m32 (DB /0), since every 32-bit integer fits
// the 64-bit significand; FLD1, FLDZ, FXCH, FSTP ST(i) and FFREE. Every other
// one can round under the host's control word or raise an exception, and this Unicorn sets no flag
// but the zero-divide one, so the bench cannot see those exceptions happen: it reports the
// instruction instead.
constexpr uint8_t kX87First = 0xD8, kX87Last = 0xDF;
constexpr uint8_t kX87Ext = 0xDB;
constexpr unsigned kFildM32 = 0, kFldM80 = 5, kFstpM80 = 7;

bool exact_x87(uint8_t op, uint8_t modrm)
{
    const unsigned reg = modrm >> 3 & 7;
    if ((modrm >> 6) != 3) return op == kX87Ext && (reg == kFildM32 || reg == kFldM80 || reg == kFstpM80);
    if (op == 0xD9) return modrm == 0xE8 || modrm == 0xEE || (modrm & 0xF8) == 0xC8;  // fld1, fldz, fxch
    if (op == 0xDD) return (modrm & 0xF8) == 0xD8 || (modrm & 0xF8) == 0xC0;         // fstp st(i), ffree
    return false;
}
constexpr uint8_t kFwait = 0x9B;
constexpr uint8_t kPrefixes[] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3};

// Instructions between checks of the runaway limit and the progress callback; small enough that
// progress comes about every 2 ms of virtual time even at 33 MHz.
constexpr int64_t kBudgetSlice = 1 << 16;
constexpr uint64_t kProgressNs = 50'000'000;

constexpr size_t kFaultBytes = 8;   // instruction bytes shown when the length is not known
constexpr size_t kMaxInsnLength = 15;

std::string hex32(uint64_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw BenchError(std::string(what) + ": " + uc_strerror(err));
}

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const char* exception_name(uint32_t intno) {
    switch (intno) {
        case 0: return "divide error";
        case 1: return "debug";
        case 3: return "breakpoint";
        case 4: return "overflow";
        case 5: return "bound range exceeded";
        case 6: return "invalid opcode";
        case 7: return "device not available";
        case 8: return "double fault";
        case 10: return "invalid TSS";
        case 11: return "segment not present";
        case 12: return "stack fault";
        case 13: return "general protection";
        case 14: return "page fault";
        case 16: return "x87 floating-point error";
        case 17: return "alignment check";
        case 19: return "SIMD floating-point error";
        default: return "software interrupt";
    }
}

const char* access_name(uc_mem_type type) {
    switch (type) {
        case UC_MEM_READ_UNMAPPED: return "read of unmapped memory";
        case UC_MEM_WRITE_UNMAPPED: return "write to unmapped memory";
        case UC_MEM_FETCH_UNMAPPED: return "fetch from unmapped memory";
        case UC_MEM_READ_PROT: return "read of protected memory";
        case UC_MEM_WRITE_PROT: return "write to read-only memory";
        case UC_MEM_FETCH_PROT: return "fetch from non-executable memory";
        default: return "invalid memory access";
    }
}

std::string fpu_flag_names(uint16_t sw) {
    static const char* const names[] = {"IE", "DE", "ZE", "OE", "UE", "PE", "SF", "ES"};
    std::string s;
    for (unsigned bit = 0; bit < 8; ++bit)
        if (sw & kFpuExceptionFlags & (1u << bit)) s += (s.empty() ? "" : " ") + std::string(names[bit]);
    return s;
}

// The IEEE bits (binary64 or binary32 layout) of an 80-bit x87 value, when it is exactly
// representable with `frac_bits` fraction bits and `exp_bits` exponent bits.
std::optional<uint64_t> narrow_exact(const uint8_t st[10], unsigned frac_bits, unsigned exp_bits) {
    constexpr unsigned kExtBias = 16383;
    constexpr uint16_t kExtExpMax = 0x7FFF;
    constexpr uint64_t kIntegerBit = 1ull << 63;
    uint64_t sig;
    std::memcpy(&sig, st, 8);
    const unsigned sign = st[9] >> 7;
    const unsigned exp = (st[8] | st[9] << 8) & kExtExpMax;
    const int bias = (1 << (exp_bits - 1)) - 1;
    const uint64_t exp_max = (1u << exp_bits) - 1;
    const unsigned drop = 63 - frac_bits;  // fraction bits of the 80-bit form below the target's
    const auto low_bits = [](unsigned n) { return n >= 64 ? ~0ull : (1ull << n) - 1; };
    const auto pack = [&](uint64_t e, uint64_t f) {
        return static_cast<uint64_t>(sign) << (frac_bits + exp_bits) | e << frac_bits | f;
    };
    if (exp == kExtExpMax) {
        if (!(sig & kIntegerBit)) return std::nullopt;  // pseudo-infinity or pseudo-NaN
        const uint64_t frac = sig & ~kIntegerBit;
        if (frac & low_bits(drop)) return std::nullopt;  // NaN payload wider than the target's
        return pack(exp_max, frac >> drop);
    }
    if (sig == 0) return exp == 0 ? std::optional(pack(0, 0)) : std::nullopt;  // zero; else pseudo-zero
    if (exp == 0 || !(sig & kIntegerBit)) return std::nullopt;  // 80-bit denormal (far too small) or unnormal
    const int e = static_cast<int>(exp) - static_cast<int>(kExtBias);
    if (e > bias) return std::nullopt;
    if (e >= 1 - bias) {
        if (sig & low_bits(drop)) return std::nullopt;
        return pack(static_cast<uint64_t>(e + bias), (sig >> drop) & low_bits(frac_bits));
    }
    const unsigned shift = drop + static_cast<unsigned>(1 - bias - e);  // target subnormal
    if (shift >= 64 || (sig & low_bits(shift))) return std::nullopt;
    return pack(0, sig >> shift);
}

std::string st0_hex(const uint8_t st[10]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02X%02X:%02X%02X%02X%02X%02X%02X%02X%02X", st[9], st[8], st[7], st[6], st[5],
                  st[4], st[3], st[2], st[1], st[0]);
    return buf;
}

}  // namespace

// ---- arguments and outcome ----------------------------------------------------------------------

Arg i32(int32_t v) { return {Arg::I32, static_cast<uint32_t>(v)}; }
Arg ptr(uint32_t guest_address) { return {Arg::Ptr, guest_address}; }
Arg f64(double v) { return {Arg::F64, std::bit_cast<uint64_t>(v)}; }
Arg f64_bits(uint64_t bits) { return {Arg::F64, bits}; }
Arg f32(float v) { return {Arg::F32, std::bit_cast<uint32_t>(v)}; }
Arg f32_bits(uint32_t bits) { return {Arg::F32, bits}; }

uint64_t CallOutcome::f64_bits() const {
    if (fpu_depth_delta != 1) throw BenchError("the call left no result on the x87 stack");
    auto bits = narrow_exact(st0, 52, 11);
    if (!bits) throw BenchError("ST(0) = " + st0_hex(st0) + " is not exactly a double");
    return *bits;
}

double CallOutcome::f64() const { return std::bit_cast<double>(f64_bits()); }

float CallOutcome::f32() const {
    if (fpu_depth_delta != 1) throw BenchError("the call left no result on the x87 stack");
    auto bits = narrow_exact(st0, 23, 8);
    if (!bits) throw BenchError("ST(0) = " + st0_hex(st0) + " is not exactly a float");
    return std::bit_cast<float>(static_cast<uint32_t>(*bits));
}

// ---- the machine --------------------------------------------------------------------------------

struct Machine::Impl {
    Impl(const MachineConfig& c, VirtualClock& clk, PortBus& b) : cfg(c), clock(clk), bus(b) {}
    ~Impl() {
        if (uc) uc_close(uc);
    }

    MachineConfig cfg;
    VirtualClock& clock;
    PortBus& bus;
    uc_engine* uc = nullptr;

    std::optional<PeImage> image;
    bool attach_ok = false;
    uint32_t heap_next = kHeapBase;
    uint32_t get_tick_count_calls = 0;

    // Code hook state. `cls` has one byte per image byte; the hot path needs only this, the
    // instruction counter and the budget.
    std::vector<uint8_t> cls;
    uint64_t image_lo = 0;
    uint64_t insns = 0;
    int64_t budget = kBudgetSlice;
    uint32_t last_pc = 0;
    uint32_t last_size = 0;
    std::unordered_map<uint32_t, uint64_t> hits;

    // State of the current run.
    bool running = false;
    uint64_t run_start_insns = 0;
    uint64_t run_max_insns = 0;
    bool runaway = false;
    bool rdtsc_pending = false;
    uint64_t rdtsc_cycle = 0;
    uint64_t x87_seen = 0;       // x87 instructions other than 80-bit loads and stores, this run
    std::string x87_first;
    std::string intr_fault;
    struct MemFault {
        uc_mem_type type;
        uint64_t address;
        int size;
        uint32_t pc, pc_size;
    };
    std::optional<MemFault> mem_fault;
    std::exception_ptr hook_error;
    std::function<void(uint64_t)> progress;
    uint64_t next_progress_ns = 0;

    // ---- helpers ----
    uint32_t reg(int id) const {
        uint32_t v = 0;
        check(uc_reg_read(uc, id, &v), "uc_reg_read");
        return v;
    }
    uint16_t reg16(int id) const {
        uint16_t v = 0;
        check(uc_reg_read(uc, id, &v), "uc_reg_read");
        return v;
    }
    void set_reg(int id, uint32_t v) { check(uc_reg_write(uc, id, &v), "uc_reg_write"); }
    void set_reg16(int id, uint16_t v) { check(uc_reg_write(uc, id, &v), "uc_reg_write"); }

    void stop() {
        uc_err err = uc_emu_stop(uc);
        if (err != UC_ERR_OK && !hook_error)
            hook_error = std::make_exception_ptr(BenchError(std::string("uc_emu_stop: ") + uc_strerror(err)));
    }
    void hook_failed() {
        if (!hook_error) hook_error = std::current_exception();
        stop();
    }

    // Up to `len` bytes at `addr` as hex, as far as they are readable.
    std::string bytes_at(uint32_t addr, size_t len) const {
        std::string s;
        for (size_t i = 0; i < len; ++i) {
            uint8_t b;
            if (uc_mem_read(uc, addr + i, &b, 1) != UC_ERR_OK) return s.empty() ? "(unreadable)" : s;
            char buf[4];
            std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", b);
            s += buf;
        }
        return s;
    }
    std::string insn_at(uint32_t pc, uint32_t size) const {
        const size_t len = size >= 1 && size <= kMaxInsnLength ? size : kFaultBytes;
        return "the instruction at " + hex32(pc) + ": " + bytes_at(pc, len);
    }

    uint8_t classify(uint64_t addr, uint32_t size) const {
        uint8_t c = kKnown;
        uint8_t b[kMaxInsnLength];
        const uint32_t n = std::min<uint32_t>(size, kMaxInsnLength);
        if (n == 0 || uc_mem_read(uc, addr, b, n) != UC_ERR_OK) return c;
        if (n == sizeof kRdtscOpcode && std::memcmp(b, kRdtscOpcode, sizeof kRdtscOpcode) == 0) c |= kRdtsc;
        uint32_t i = 0;
        while (i < n && std::find(std::begin(kPrefixes), std::end(kPrefixes), b[i]) != std::end(kPrefixes)) ++i;
        if (i < n && b[i] == kFwait) c |= kX87;
        if (i + 1 < n && b[i] >= kX87First && b[i] <= kX87Last && !exact_x87(b[i], b[i + 1])) c |= kX87;
        return c;
    }

    void maybe_progress() {
        if (!progress) return;
        const uint64_t now = clock.ns();
        if (now < next_progress_ns) return;
        next_progress_ns = now + kProgressNs;
        progress(now);
    }

    void finish_rdtsc() {
        rdtsc_pending = false;
        const uint64_t tsc = clock.config().tsc_stands_still ? clock.config().start_cycles : rdtsc_cycle;
        set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(tsc));
        set_reg(UC_X86_REG_EDX, static_cast<uint32_t>(tsc >> 32));
    }

    // Runs every kBudgetSlice instructions, and on the instruction after an rdtsc.
    void on_budget() {
        if (rdtsc_pending) finish_rdtsc();
        const uint64_t used = insns - run_start_insns;
        if (used > run_max_insns) {
            runaway = true;
            budget = kBudgetSlice;
            stop();
            return;
        }
        maybe_progress();
        budget = static_cast<int64_t>(std::min<uint64_t>(kBudgetSlice, run_max_insns + 1 - used));
    }

    void on_code_slow(uint64_t addr, uint32_t size) {
        if (addr - kStubPage < kPageSize) {
            // Platform stub: a call costs syscall_ns, whatever its instructions.
            if (rdtsc_pending) finish_rdtsc();
            return;
        }
        last_pc = static_cast<uint32_t>(addr);
        last_size = size;
        const uint64_t off = addr - image_lo;
        uint8_t c;
        if (off < cls.size()) {
            if (!(cls[off] & kKnown)) cls[off] |= classify(addr, size);
            c = cls[off];
        } else {
            c = classify(addr, size);
            if (!hits.empty() && hits.count(static_cast<uint32_t>(addr))) c |= kCounted;
        }
        clock.add_insns(1);
        ++insns;
        if (c & kCounted) ++hits[static_cast<uint32_t>(addr)];
        if ((c & kX87) && x87_seen++ == 0) x87_first = insn_at(static_cast<uint32_t>(addr), size);
        if (--budget <= 0) on_budget();
        if (c & kRdtsc) {
            // rdtsc reads the host's counter here; the next instruction's hook replaces its result.
            rdtsc_pending = true;
            rdtsc_cycle = clock.cycles() - clock.config().cycles_per_insn;
            budget = 1;
        }
    }

    static void code_hook(uc_engine*, uint64_t addr, uint32_t size, void* user) {
        Impl& m = *static_cast<Impl*>(user);
        const uint64_t off = addr - m.image_lo;
        if (off < m.cls.size() && m.cls[off] == kKnown) [[likely]] {
            m.last_pc = static_cast<uint32_t>(addr);
            m.last_size = size;
            m.clock.add_insns(1);
            ++m.insns;
            if (--m.budget > 0) [[likely]] return;
            try {
                m.on_budget();
            } catch (...) {
                m.hook_failed();
            }
            return;
        }
        try {
            m.on_code_slow(addr, size);
        } catch (...) {
            m.hook_failed();
        }
    }

    void get_tick_count() {
        set_reg(UC_X86_REG_EAX, clock.tick_ms());
        ++get_tick_count_calls;
        clock.add_ns(clock.config().syscall_ns);
        maybe_progress();
    }

    static void intr_hook(uc_engine*, uint32_t intno, void* user) {
        Impl& m = *static_cast<Impl*>(user);
        try {
            if (intno == kStubInterrupt && m.reg(UC_X86_REG_EIP) == kGetTickCountStub + kStubIntLength) {
                m.get_tick_count();
                return;
            }
            m.intr_fault = "interrupt " + std::to_string(intno) + " (" + exception_name(intno) + ") raised by " +
                           m.insn_at(m.last_pc, m.last_size);
            m.stop();
        } catch (...) {
            m.hook_failed();
        }
    }

    // Time of the port instruction: its code hook has already charged it, so it started one
    // instruction's cycles ago.
    uint64_t insn_start_cycle() const { return clock.cycles() - clock.config().cycles_per_insn; }

    static uint32_t in_hook(uc_engine*, uint32_t port, int size, void* user) {
        Impl& m = *static_cast<Impl*>(user);
        try {
            const uint64_t cycle = m.insn_start_cycle();
            const auto p = static_cast<uint16_t>(port);
            if (size == 1) return m.bus.in(p, cycle, m.clock.ns_at(cycle));
            return m.bus.in_wide(p, size, cycle, m.clock.ns_at(cycle));
        } catch (...) {
            m.hook_failed();
            return PortBus::kFloatingBus;
        }
    }

    static void out_hook(uc_engine*, uint32_t port, int size, uint32_t value, void* user) {
        Impl& m = *static_cast<Impl*>(user);
        try {
            const uint64_t cycle = m.insn_start_cycle();
            const auto p = static_cast<uint16_t>(port);
            if (size == 1)
                m.bus.out(p, static_cast<uint8_t>(value), cycle, m.clock.ns_at(cycle));
            else
                m.bus.out_wide(p, size, value, cycle, m.clock.ns_at(cycle));
        } catch (...) {
            m.hook_failed();
        }
    }

    static bool mem_invalid_hook(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        Impl& m = *static_cast<Impl*>(user);
        if (!m.mem_fault) m.mem_fault = MemFault{type, address, size, m.last_pc, m.last_size};
        return false;  // not handled: the emulation stops with the matching error
    }

    void open() {
        check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc), "uc_open");
        uc_hook h;
        check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&code_hook), this, 1, 0), "uc_hook_add(code)");
        check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&intr_hook), this, 1, 0), "uc_hook_add(intr)");
        check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&in_hook), this, 1, 0, UC_X86_INS_IN),
              "uc_hook_add(in)");
        check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&out_hook), this, 1, 0, UC_X86_INS_OUT),
              "uc_hook_add(out)");
        check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&mem_invalid_hook), this, 1, 0),
              "uc_hook_add(mem)");

        check(uc_mem_map(uc, kStackBase, kStackSize, UC_PROT_READ | UC_PROT_WRITE), "uc_mem_map(stack)");
        check(uc_mem_map(uc, kHeapBase, kHeapSize, UC_PROT_READ | UC_PROT_WRITE), "uc_mem_map(heap)");
        check(uc_mem_map(uc, kStubPage, kPageSize, UC_PROT_READ | UC_PROT_WRITE), "uc_mem_map(stubs)");
        std::vector<uint8_t> page(kPageSize, kHlt);
        std::memcpy(page.data() + (kGetTickCountStub - kStubPage), kGetTickCountCode, sizeof kGetTickCountCode);
        check(uc_mem_write(uc, kStubPage, page.data(), page.size()), "uc_mem_write(stubs)");
        check(uc_mem_protect(uc, kStubPage, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "uc_mem_protect(stubs)");

        set_reg(UC_X86_REG_CR0, reg(UC_X86_REG_CR0) | kCr0Ne);
    }

    void reset_run_state(uint64_t max_insns) {
        runaway = false;
        x87_seen = 0;
        x87_first.clear();
        rdtsc_pending = false;
        intr_fault.clear();
        mem_fault.reset();
        hook_error = nullptr;
        run_start_insns = insns;
        run_max_insns = max_insns;
        budget = static_cast<int64_t>(std::min<uint64_t>(kBudgetSlice, max_insns + 1));
    }

    // Runs from `begin` until EIP reaches the sentinel; returns the fault text, empty if none.
    std::string run(uint32_t begin) {
        running = true;
        const uc_err err = uc_emu_start(uc, begin, kSentinel, 0, 0);
        running = false;
        if (hook_error) {
            rdtsc_pending = false;
            std::rethrow_exception(hook_error);
        }
        if (rdtsc_pending) finish_rdtsc();  // rdtsc was the last instruction run
        if (mem_fault) {
            const MemFault& f = *mem_fault;
            std::string s = std::string(access_name(f.type)) + " at " + hex32(f.address) + " (" +
                            std::to_string(f.size) + " bytes)";
            if (f.type == UC_MEM_FETCH_UNMAPPED || f.type == UC_MEM_FETCH_PROT)
                return s + ", reached from " + insn_at(f.pc, f.pc_size);
            return s + " by " + insn_at(f.pc, f.pc_size);
        }
        const uint32_t eip = reg(UC_X86_REG_EIP);
        if (err == UC_ERR_INSN_INVALID) return "invalid instruction at " + hex32(eip) + ": " + bytes_at(eip, kFaultBytes);
        if (err != UC_ERR_OK) return std::string("emulation error ") + uc_strerror(err) + " at " + insn_at(eip, 0);
        if (!intr_fault.empty()) return intr_fault;
        if (runaway)
            return "runaway: more than " + std::to_string(run_max_insns) + " instructions; stopped before " +
                   insn_at(last_pc, last_size);
        if (eip != kSentinel)
            return "emulation stopped (hlt?) after " + insn_at(last_pc, last_size) + ", without returning";
        return {};
    }

    // Re-derives the classification of image bytes that the host rewrote, and drops translated code.
    void invalidate_code(uint32_t address, size_t size) {
        const uint64_t lo = std::max<uint64_t>(address, image_lo);
        const uint64_t hi = std::min<uint64_t>(uint64_t{address} + size, image_lo + cls.size());
        if (lo >= hi) return;
        for (uint64_t a = lo; a < hi; ++a) cls[a - image_lo] &= kCounted;
        check(uc_ctl_remove_cache(uc, lo, hi), "uc_ctl_remove_cache");
    }
};

Machine::Machine(MachineConfig cfg) : clock_(cfg.clock) {
    if (cfg.clock.cpu_hz == 0 || cfg.clock.cycles_per_insn == 0)
        throw BenchError("cpu_hz and cycles_per_insn must be positive");
    impl_ = std::make_unique<Impl>(cfg, clock_, bus_);
    impl_->open();
}

Machine::~Machine() = default;

void Machine::load(const std::string& path, std::function<void(uint64_t ns)> progress) {
    load(PeImage::read_file(path), std::move(progress));
}

void Machine::load(PeImage img, std::function<void(uint64_t ns)> progress) {
    Impl& m = *impl_;
    if (m.image) throw BenchError("a DLL is already loaded in this machine");
    const uint32_t base = m.cfg.load_base;
    const uint64_t size = (uint64_t{img.size_of_image} + kPageSize - 1) / kPageSize * kPageSize;
    if (base % kPageSize != 0) throw BenchError("load base " + hex32(base) + " is not page-aligned");
    if (base < kLowAreaEnd || base + size > kStubPage)
        throw BenchError("load base " + hex32(base) + " puts the image (" + hex32(size) +
                         " bytes) over the bench's stack, heap or stub pages");

    std::vector<uint8_t> mem = img.mapped();
    const uint32_t delta = base - img.image_base;
    if (delta != 0) {
        // As the Windows loader does: an image without a relocation directory is taken to need no
        // fixups unless the linker marked its relocations as stripped.
        if (img.characteristics & kFileRelocsStripped)
            throw BenchError("the DLL's relocations are stripped; it cannot be loaded at " + hex32(base) +
                             " (its preferred base is " + hex32(img.image_base) + ")");
        for (uint32_t rva : img.relocations) {
            uint32_t v;
            std::memcpy(&v, mem.data() + rva, 4);  // parse() checked rva + 4 <= SizeOfImage
            v += delta;
            std::memcpy(mem.data() + rva, &v, 4);
        }
    }

    std::string missing;
    for (const PeImport& imp : img.imports) {
        if (iequals(imp.dll, "KERNEL32.dll") && imp.name == "GetTickCount") {
            const uint32_t stub = kGetTickCountStub;
            std::memcpy(mem.data() + imp.iat_rva, &stub, 4);
            continue;
        }
        missing += (missing.empty() ? "" : ", ") + imp.dll + "!" +
                   (imp.name.empty() ? "#" + std::to_string(imp.ordinal) : imp.name);
    }
    if (!missing.empty()) throw BenchError("the DLL imports what the bench does not provide: " + missing);

    // Page permissions from the sections; headers and gaps are read-only.
    const size_t pages = size / kPageSize;
    std::vector<uint32_t> perms(pages, UC_PROT_READ);
    for (const PeSection& s : img.sections) {
        const uint64_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        uint32_t p = UC_PROT_READ;
        if (s.writable()) p |= UC_PROT_WRITE;
        if (s.executable()) p |= UC_PROT_EXEC;
        for (uint64_t pg = s.rva / kPageSize; pg < pages && pg * kPageSize < s.rva + extent; ++pg) perms[pg] |= p;
    }
    check(uc_mem_map(m.uc, base, size, UC_PROT_READ | UC_PROT_WRITE), "uc_mem_map(image)");
    check(uc_mem_write(m.uc, base, mem.data(), mem.size()), "uc_mem_write(image)");
    for (size_t pg = 0; pg < pages;) {
        size_t end = pg + 1;
        while (end < pages && perms[end] == perms[pg]) ++end;
        check(uc_mem_protect(m.uc, base + pg * kPageSize, (end - pg) * kPageSize, perms[pg]), "uc_mem_protect(image)");
        pg = end;
    }

    m.image_lo = base;
    m.cls.assign(img.size_of_image, kUnknown);
    for (const auto& [address, count] : m.hits)
        if (address - m.image_lo < m.cls.size()) m.cls[address - m.image_lo] |= kCounted;
    const uint32_t entry = img.entry_rva;
    m.image = std::move(img);

    if (entry == 0) {
        m.attach_ok = true;  // no entry point: nothing to refuse the attach
        return;
    }
    m.progress = std::move(progress);
    m.next_progress_ns = clock_.ns() + kProgressNs;
    struct ProgressOff {
        Impl& m;
        ~ProgressOff() { m.progress = nullptr; }
    } progress_off{m};
    const Arg args[] = {ptr(base), i32(kDllProcessAttach), i32(0)};
    CallOptions opt;
    opt.max_insns = m.cfg.load_max_insns;
    const CallOutcome r = call(base + entry, Conv::Stdcall, args, Result::Int, kDllMainArgBytes, opt);
    if (!r.fault.empty()) throw BenchError("DllMain(DLL_PROCESS_ATTACH) faulted: " + r.fault);
    if (!r.violations.empty()) {
        std::string list;
        for (const auto& v : r.violations) list += (list.empty() ? "" : "; ") + v;
        throw BenchError("DllMain(DLL_PROCESS_ATTACH) broke its calling convention: " + list);
    }
    m.attach_ok = r.eax != 0;
}

const PeImage& Machine::image() const {
    if (!impl_->image) throw BenchError("no DLL loaded");
    return *impl_->image;
}

uint32_t Machine::base() const { return impl_->cfg.load_base; }

bool Machine::attach_succeeded() const { return impl_->attach_ok; }

std::optional<uint32_t> Machine::export_address(const std::string& name) const {
    for (const PeExport& e : image().exports)
        if (e.name == name) return base() + e.rva;
    return std::nullopt;
}

std::optional<uint32_t> Machine::export_address(uint32_t ordinal) const {
    for (const PeExport& e : image().exports)
        if (e.ordinal == ordinal) return base() + e.rva;
    return std::nullopt;
}

CallOutcome Machine::call(uint32_t address, Conv conv, std::span<const Arg> args, Result result,
                          uint32_t expect_removed, CallOptions opt) {
    Impl& m = *impl_;
    if (m.running) throw BenchError("Machine::call from inside a running call (e.g. a progress callback)");

    // Argument placement.
    uint32_t arg_regs[3] = {kUnusedArgReg, kUnusedArgReg, kUnusedArgReg};  // EAX, EDX, ECX
    size_t n_regs = 0;
    std::vector<uint32_t> words;  // from the lowest stack address up
    const auto push_wide = [&](uint64_t bits) {
        words.push_back(static_cast<uint32_t>(bits));
        words.push_back(static_cast<uint32_t>(bits >> 32));
    };
    if (conv == Conv::Register) {
        for (const Arg& a : args) {
            if (a.kind == Arg::F32) throw BenchError("the register convention takes no F32 argument");
            if (a.kind == Arg::F64) continue;
            if (n_regs == 3) throw BenchError("more than three integer arguments in the register convention");
            arg_regs[n_regs++] = static_cast<uint32_t>(a.bits);
        }
        for (auto it = args.rbegin(); it != args.rend(); ++it)  // the first F64 at the highest address
            if (it->kind == Arg::F64) push_wide(it->bits);
    } else {
        for (const Arg& a : args) {
            if (a.kind == Arg::F64)
                push_wide(a.bits);
            else
                words.push_back(static_cast<uint32_t>(a.bits));
        }
    }
    const uint32_t arg_bytes = static_cast<uint32_t>(words.size() * 4);
    if (arg_bytes > kMaxArgBytes) throw BenchError("too many argument bytes");
    const uint32_t args_at = (kStackTop - kCallerFrame - arg_bytes) / kArgAlign * kArgAlign;
    const uint32_t esp = args_at - 4;
    if (!words.empty()) write(args_at, words.data(), arg_bytes);
    poke<uint32_t>(esp, kSentinel);

    m.set_reg(UC_X86_REG_EAX, arg_regs[0]);
    m.set_reg(UC_X86_REG_EDX, arg_regs[1]);
    m.set_reg(UC_X86_REG_ECX, arg_regs[2]);
    m.set_reg(UC_X86_REG_EBX, kCanaryEbx);
    m.set_reg(UC_X86_REG_ESI, kCanaryEsi);
    m.set_reg(UC_X86_REG_EDI, kCanaryEdi);
    m.set_reg(UC_X86_REG_EBP, kCanaryEbp);
    m.set_reg(UC_X86_REG_ESP, esp);
    m.set_reg(UC_X86_REG_EFLAGS, kEflagsReset);
    m.set_reg16(UC_X86_REG_FPCW, opt.fpcw);
    m.set_reg16(UC_X86_REG_FPSW, kFpuStatusClear);
    m.set_reg16(UC_X86_REG_FPTAG, kFpuTagsEmpty);

    CallOutcome out;
    const uint64_t cycles0 = clock_.cycles(), ns0 = clock_.ns();
    m.reset_run_state(opt.max_insns);
    out.fault = m.run(address);
    out.insns = m.insns - m.run_start_insns;
    out.cycles = clock_.cycles() - cycles0;
    out.ns = clock_.ns() - ns0;
    out.eax = m.reg(UC_X86_REG_EAX);
    out.fpcw_after = m.reg16(UC_X86_REG_FPCW);
    out.fpsw_after = m.reg16(UC_X86_REG_FPSW);
    if (!out.fault.empty()) return out;

    auto& v = out.violations;
    const auto violation = [&](const char* fmt, auto... xs) {
        char buf[200];
        std::snprintf(buf, sizeof buf, fmt, xs...);
        v.emplace_back(buf);
    };

    const uint32_t esp_after = m.reg(UC_X86_REG_ESP);
    out.stack_removed = esp_after - (esp + 4);
    if (out.stack_removed != expect_removed)
        violation("removed %d bytes of arguments from the stack, expected %u", static_cast<int32_t>(out.stack_removed),
                  expect_removed);
    const struct {
        int id;
        const char* name;
        uint32_t canary;
    } saved[] = {{UC_X86_REG_EBX, "EBX", kCanaryEbx},
                 {UC_X86_REG_ESI, "ESI", kCanaryEsi},
                 {UC_X86_REG_EDI, "EDI", kCanaryEdi},
                 {UC_X86_REG_EBP, "EBP", kCanaryEbp}};
    for (const auto& r : saved) {
        const uint32_t now = m.reg(r.id);
        if (now != r.canary) violation("%s not preserved: 0x%08X on entry, 0x%08X on return", r.name, r.canary, now);
    }
    if (m.reg(UC_X86_REG_EFLAGS) & kEflagsDf) violation("direction flag left set");

    // x87: depth from TOP (the stack starts empty with TOP = 0), cross-checked with the tag word,
    // because this Unicorn does not raise the stack-fault flags on overflow or underflow.
    const unsigned top = out.fpsw_after >> kFpuTopShift & 7;
    const int depth = static_cast<int>((8 - top) % 8);
    out.fpu_depth_delta = depth > 4 ? depth - 8 : depth;
    const uint16_t tags = m.reg16(UC_X86_REG_FPTAG);
    int in_use = 0;
    for (unsigned r = 0; r < 8; ++r) in_use += (tags >> (2 * r) & 3) != 3;
    const int expect_depth = result == Result::Float ? 1 : 0;
    if (out.fpu_depth_delta != expect_depth)
        violation("x87 stack depth changed by %+d, expected %+d", out.fpu_depth_delta, expect_depth);
    if (in_use != depth)
        violation("x87 stack inconsistent: TOP gives depth %d but %d registers are in use (overflow or underflow)",
                  depth, in_use);
    if (out.fpcw_after != opt.fpcw) violation("x87 control word changed from 0x%04X to 0x%04X", opt.fpcw, out.fpcw_after);
    if (m.x87_seen && opt.only_exact_x87)
        violation("executed %llu x87 instruction(s) that round or raise under the host's control word, "
                  "first %s", static_cast<unsigned long long>(m.x87_seen), m.x87_first.c_str());
    if (out.fpsw_after & kFpuExceptionFlags)
        violation("x87 exception flags raised: %s (status word 0x%04X)", fpu_flag_names(out.fpsw_after).c_str(),
                  out.fpsw_after);
    if (out.fpu_depth_delta == 1) {
        uint8_t st[16] = {};  // Unicorn writes the 10-byte value; room to spare
        check(uc_reg_read(m.uc, UC_X86_REG_ST0, st), "uc_reg_read(ST0)");
        std::memcpy(out.st0, st, sizeof out.st0);
    }
    return out;
}

uint32_t Machine::alloc(uint32_t size) {
    Impl& m = *impl_;
    const uint64_t rounded = (uint64_t{size} + kHeapAlign - 1) / kHeapAlign * kHeapAlign;
    if (m.heap_next + rounded > kHeapBase + kHeapSize)
        throw BenchError("scratch heap exhausted (" + std::to_string(size) + " bytes asked)");
    const uint32_t a = m.heap_next;
    m.heap_next += static_cast<uint32_t>(std::max<uint64_t>(rounded, kHeapAlign));
    return a;
}

void Machine::write(uint32_t address, const void* data, size_t size) {
    const uc_err err = uc_mem_write(impl_->uc, address, data, size);
    if (err != UC_ERR_OK)
        throw BenchError("cannot write " + std::to_string(size) + " bytes at " + hex32(address) + ": " + uc_strerror(err));
    impl_->invalidate_code(address, size);
}

void Machine::read(uint32_t address, void* data, size_t size) const {
    const uc_err err = uc_mem_read(impl_->uc, address, data, size);
    if (err != UC_ERR_OK)
        throw BenchError("cannot read " + std::to_string(size) + " bytes at " + hex32(address) + ": " + uc_strerror(err));
}

std::string Machine::read_cstring(uint32_t address, size_t max) const {
    std::string s;
    uint64_t a = address;
    char chunk[kPageSize];
    while (s.size() < max) {
        const size_t n = std::min<uint64_t>({kPageSize - a % kPageSize, max - s.size()});
        read(static_cast<uint32_t>(a), chunk, n);
        const char* nul = static_cast<const char*>(std::memchr(chunk, 0, n));
        if (nul) return s.append(chunk, static_cast<size_t>(nul - chunk));
        s.append(chunk, n);
        a += n;
    }
    throw BenchError("no terminating NUL within " + std::to_string(max) + " bytes of the string at " + hex32(address));
}

void Machine::count_hits(uint32_t address) {
    Impl& m = *impl_;
    m.hits.try_emplace(address, 0);
    if (address - m.image_lo < m.cls.size()) m.cls[address - m.image_lo] |= kCounted;
}

uint64_t Machine::hits(uint32_t address) const {
    const auto it = impl_->hits.find(address);
    return it == impl_->hits.end() ? 0 : it->second;
}

uint64_t Machine::total_insns() const { return impl_->insns; }

uint32_t Machine::get_tick_count_calls() const { return impl_->get_tick_count_calls; }

}  // namespace bench
