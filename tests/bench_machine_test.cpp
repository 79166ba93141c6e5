// The virtual bench machine: loading (relocation, imports, exports, entry point), the checks made
// after every call, faults, the virtual clock as the guest sees it (rdtsc, GetTickCount), the port
// trace, routine hit counts, link maps, and the load time of a calibrating DLL.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>

#include "bench/boards.h"
#include "bench/machine.h"
#include "bench_pe_builder.h"

namespace {

using namespace bench_test;
using bench::Arg;
using bench::BenchError;
using bench::CallOptions;
using bench::CallOutcome;
using bench::Conv;
using bench::Machine;
using bench::MachineConfig;
using bench::PeImage;
using bench::Result;

constexpr uint32_t kOtherBase = 0x20000000;  // MachineConfig's default, not the builder's 0x10000000

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : " | ") + x;
    return s;
}

bool mentions(const std::vector<std::string>& v, const std::string& what) {
    return joined(v).find(what) != std::string::npos;
}

void expect_clean(const CallOutcome& r) {
    EXPECT_EQ(r.fault, "");
    EXPECT_TRUE(r.violations.empty()) << joined(r.violations);
}

// A DLL built from its parts and loaded on a fresh machine.
struct Dll {
    DllParts parts;
    std::unique_ptr<Machine> m;

    uint32_t at(uint32_t text_offset) const { return m->base() + kTextRva + text_offset; }
    uint32_t data(uint32_t offset = 0) const { return m->base() + kDataRva + offset; }
    CallOutcome call(uint32_t text_offset, Conv conv = Conv::Stdcall, std::vector<Arg> args = {},
                     Result result = Result::Int, uint32_t expect_removed = 0, CallOptions opt = {}) {
        return m->call(at(text_offset), conv, args, result, expect_removed, opt);
    }
};

MachineConfig at_base(uint32_t base) {
    MachineConfig cfg;
    cfg.load_base = base;
    return cfg;
}

Dll load(DllParts parts, MachineConfig cfg = {}) {
    Dll d{std::move(parts), std::make_unique<Machine>(cfg)};
    d.m->load(bench::PeImage::parse(build_pe(d.parts)));
    return d;
}

// ---- loading ------------------------------------------------------------------------------------

TEST(benchLoad, RelocatesAbsoluteAddressesToTheLoadBase) {
    for (uint32_t base : {0x10000000u, kOtherBase, 0x00800000u}) {
        SCOPED_TRACE(base);
        DllParts s;
        s.data = {0x44, 0x33, 0x22, 0x11};
        s.text.b({0xB8}).abs32(data_va(s)).ret();  // 0: mov eax, offset data
        s.text.load_eax(data_va(s)).ret();         // 6: mov eax, [data]
        MachineConfig cfg;
        cfg.load_base = base;
        Dll d = load(s, cfg);
        EXPECT_EQ(d.call(0).eax, base + kDataRva);
        EXPECT_EQ(d.call(6).eax, 0x11223344u);
    }
}

TEST(benchLoad, ImageWithoutRelocationsLoadsOnlyAtItsPreferredBase) {
    DllParts s;
    s.text.b({0xB8}).abs32(data_va(s)).ret();
    s.relocations = false;
    EXPECT_NO_THROW(load(s, at_base(s.image_base)));
    try {
        load(s, at_base(kOtherBase));
        ADD_FAILURE() << "loaded without relocations at another base";
    } catch (const BenchError& e) {
        EXPECT_NE(std::string(e.what()).find("relocations are stripped"), std::string::npos) << e.what();
    }
}

TEST(benchLoad, BindsGetTickCountAndNamesEveryOtherImport) {
    struct Case {
        DllParts::Import import;
        const char* refused;  // nullptr: bound
    };
    const Case cases[] = {
        {{"KERNEL32.dll", "GetTickCount"}, nullptr},
        {{"kernel32.DLL", "GetTickCount"}, nullptr},
        {{"KERNEL32.dll", "Sleep"}, "KERNEL32.dll!Sleep"},
        {{"KERNEL32.dll", "", 0x1F5}, "KERNEL32.dll!#501"},
        {{"USER32.dll", "GetTickCount"}, "USER32.dll!GetTickCount"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.import.dll + "!" + c.import.name);
        DllParts s;
        s.imports = {c.import};
        s.text.call_indirect(iat_slot_va(s, 0)).ret();
        MachineConfig cfg;
        cfg.clock.tick_start_ms = 0x12345678;
        if (!c.refused) {
            Dll d = load(s, cfg);
            const CallOutcome r = d.call(0);
            expect_clean(r);
            EXPECT_EQ(r.eax, 0x12345678u);
            EXPECT_EQ(d.m->get_tick_count_calls(), 1u);
            continue;
        }
        try {
            load(s, cfg);
            ADD_FAILURE() << "loaded";
        } catch (const BenchError& e) {
            EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
        }
    }
}

TEST(benchLoad, FindsExportsByNameAndByBiasedOrdinal) {
    DllParts s;
    s.text.mov_eax(100).ret();  // 0
    s.text.mov_eax(200).ret();  // 6
    s.text.mov_eax(300).ret();  // 12
    s.exports = {{"one", 0}, {"", 6}, {"three", 12}};
    s.ordinal_base = 5;
    Dll d = load(s);
    const auto value_at = [&](std::optional<uint32_t> a) {
        return d.m->call(a.value(), Conv::Stdcall, {}, Result::Int, 0).eax;
    };
    EXPECT_EQ(value_at(d.m->export_address("one")), 100u);
    EXPECT_EQ(value_at(d.m->export_address(6u)), 200u);
    EXPECT_EQ(value_at(d.m->export_address("three")), 300u);
    EXPECT_EQ(d.m->export_address(7u), d.m->export_address("three"));
    EXPECT_EQ(d.m->export_address("two"), std::nullopt);
    EXPECT_EQ(d.m->export_address(4u), std::nullopt);
    EXPECT_EQ(d.m->export_address(8u), std::nullopt);
}

// DllMain stores its three arguments in .data and returns `result`.
DllParts entry_point_dll(uint32_t result, uint16_t removes = 12) {
    DllParts s;
    for (uint8_t i = 0; i < 3; ++i)
        s.text.b({0x8B, 0x44, 0x24, static_cast<uint8_t>(4 + 4 * i)}).store_eax(data_va(s, 4 * i));
    s.text.mov_eax(result).ret(removes);
    s.entry = 0;
    return s;
}

TEST(benchLoad, RunsTheEntryPointWithProcessAttach) {
    for (uint32_t result : {1u, 0u}) {
        SCOPED_TRACE(result);
        Dll d = load(entry_point_dll(result));
        EXPECT_EQ(d.m->peek<uint32_t>(d.data(0)), kOtherBase);  // hinstDLL: the load base
        EXPECT_EQ(d.m->peek<uint32_t>(d.data(4)), 1u);          // DLL_PROCESS_ATTACH
        EXPECT_EQ(d.m->peek<uint32_t>(d.data(8)), 0u);
        EXPECT_EQ(d.m->attach_succeeded(), result != 0);
    }
}

TEST(benchLoad, EntryPointFaultOrConventionBreachFailsTheLoad) {
    struct Case {
        const char* name;
        DllParts parts;
        const char* message;
    };
    DllParts faulting;
    faulting.text.b({0xA1}).d32(0).ret(12);  // mov eax, [0]
    faulting.entry = 0;
    const Case cases[] = {
        {"cdecl return", entry_point_dll(1, 0), "removed 0 bytes of arguments from the stack, expected 12"},
        {"null read", faulting, "read of unmapped memory at 0x00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            load(c.parts);
            ADD_FAILURE() << "loaded";
        } catch (const BenchError& e) {
            EXPECT_NE(std::string(e.what()).find("DllMain"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// An exception from the progress callback leaves the emulator through the bench, not through
// Unicorn's C frames, and reaches the caller of load().
TEST(benchLoad, ProgressCallbackExceptionReachesTheCaller) {
    DllParts s;
    s.text.b({0xEB, 0xFE});  // the entry point spins until the callback gives up
    s.entry = 0;
    Machine m;
    struct GiveUp {};
    int calls = 0;
    EXPECT_THROW(m.load(PeImage::parse(build_pe(s)),
                        [&](uint64_t ns) {
                            ++calls;
                            EXPECT_GE(ns, 50'000'000u);
                            throw GiveUp{};
                        }),
                 GiveUp);
    EXPECT_EQ(calls, 1);
}

TEST(benchLoad, RefusesBasesThatCollideAndASecondImage) {
    DllParts s;
    s.text.ret();
    EXPECT_THROW(load(s, at_base(kOtherBase + 0x800)), BenchError);  // not page-aligned
    EXPECT_THROW(load(s, at_base(0x00100000)), BenchError);          // the stack
    EXPECT_THROW(load(s, at_base(0x7FFDE000)), BenchError);          // runs into the stubs
    Dll d = load(s);
    EXPECT_THROW(d.m->load(PeImage::parse(build_pe(s))), BenchError);
}

// ---- conventions --------------------------------------------------------------------------------

// Stores EAX, EDX, ECX and the first five stack argument words in .data.
DllParts dumping_dll(uint16_t removes) {
    DllParts s;
    s.text.store_eax(data_va(s, 0));
    s.text.b({0x89, 0x15}).abs32(data_va(s, 4));  // mov [..], edx
    s.text.b({0x89, 0x0D}).abs32(data_va(s, 8));  // mov [..], ecx
    for (uint8_t i = 0; i < 5; ++i)
        s.text.b({0x8B, 0x44, 0x24, static_cast<uint8_t>(4 + 4 * i)}).store_eax(data_va(s, 12 + 4 * i));
    s.text.ret(removes);
    return s;
}

TEST(benchCall, PlacesArgumentsInRegistersAndOnTheStackPerConvention) {
    const uint64_t x = std::bit_cast<uint64_t>(1.5), y = std::bit_cast<uint64_t>(-2.25);
    const uint32_t fy = std::bit_cast<uint32_t>(0.75f);
    const auto lo = [](uint64_t v) { return static_cast<uint32_t>(v); };
    const auto hi = [](uint64_t v) { return static_cast<uint32_t>(v >> 32); };
    struct Case {
        const char* name;
        Conv conv;
        std::vector<Arg> args;
        std::array<uint32_t, 3> regs;  // EAX, EDX, ECX; 0 = not checked
        std::vector<uint32_t> stack;   // from [esp+4] up
    };
    const Case cases[] = {
        {"register", Conv::Register,
         {bench::i32(-1), bench::f64(1.5), bench::i32(2), bench::f64(-2.25), bench::ptr(0x00400010)},
         {0xFFFFFFFF, 2, 0x00400010}, {lo(y), hi(y), lo(x), hi(x)}},
        {"register, one F64", Conv::Register, {bench::f64_bits(x)}, {0, 0, 0}, {lo(x), hi(x)}},
        {"stdcall", Conv::Stdcall,
         {bench::i32(7), bench::f64(1.5), bench::f32(0.75f), bench::ptr(0x1234), bench::f32_bits(fy)},
         {0, 0, 0}, {7, lo(x), hi(x), fy, 0x1234}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto removed = static_cast<uint16_t>(c.stack.size() * 4);
        Dll d = load(dumping_dll(removed));
        expect_clean(d.call(0, c.conv, c.args, Result::Int, removed));
        for (int r = 0; r < 3; ++r)
            if (c.regs[r]) {
                EXPECT_EQ(d.m->peek<uint32_t>(d.data(4 * r)), c.regs[r]) << "register " << r;
            }
        for (size_t i = 0; i < c.stack.size(); ++i)
            EXPECT_EQ(d.m->peek<uint32_t>(d.data(12 + 4 * static_cast<uint32_t>(i))), c.stack[i]) << "[esp+" << 4 + 4 * i << "]";
    }
}

TEST(benchCall, RegisterConventionRefusesWhatItCannotPlace) {
    Dll d = load(dumping_dll(0));
    const std::vector<Arg> four_ints = {bench::i32(1), bench::i32(2), bench::i32(3), bench::i32(4)};
    EXPECT_THROW(d.call(0, Conv::Register, four_ints), BenchError);
    EXPECT_THROW(d.call(0, Conv::Register, {bench::f32(1.0f)}), BenchError);
}

TEST(benchCall, MeasuresTheArgumentBytesTheCalleeRemoves) {
    struct Case {
        uint16_t removes, expected;
        const char* violation;
    };
    const Case cases[] = {
        {8, 8, nullptr},
        {0, 0, nullptr},
        {4, 8, "removed 4 bytes of arguments from the stack, expected 8"},
        {12, 8, "removed 12 bytes of arguments from the stack, expected 8"},
        {0, 8, "removed 0 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ret " << c.removes << ", expected " << c.expected);
        DllParts s;
        s.text.ret(c.removes);
        Dll d = load(s);
        const CallOutcome r = d.call(0, Conv::Stdcall, {bench::i32(1), bench::i32(2)}, Result::Int, c.expected);
        EXPECT_EQ(r.fault, "");
        EXPECT_EQ(r.stack_removed, c.removes);
        if (c.violation)
            EXPECT_TRUE(mentions(r.violations, c.violation)) << joined(r.violations);
        else
            EXPECT_TRUE(r.violations.empty()) << joined(r.violations);
    }
}

TEST(benchCall, ReportsEveryConventionBreach) {
    struct Case {
        const char* name;
        std::vector<uint8_t> body;  // followed by ret
        Result result;
        const char* violation;      // nullptr: a clean call
    };
    std::vector<uint8_t> eight_pushes;
    for (int i = 0; i < 8; ++i) eight_pushes.insert(eight_pushes.end(), {0xD9, 0xE8});
    const std::vector<uint8_t> set_53_bit_precision = {0x50, 0xD9, 0x3C, 0x24, 0x66, 0x81, 0x24, 0x24,
                                                       0xFF, 0xFC, 0xD9, 0x2C, 0x24, 0x58};
    const Case cases[] = {
        {"EBX saved and restored", {0x53, 0x31, 0xDB, 0x5B}, Result::Int, nullptr},
        {"EBX clobbered", {0x31, 0xDB}, Result::Int, "EBX not preserved: 0xEB0C0DE1 on entry, 0x00000000 on return"},
        {"ESI clobbered", {0x31, 0xF6}, Result::Int, "ESI not preserved"},
        {"EDI clobbered", {0x31, 0xFF}, Result::Int, "EDI not preserved"},
        {"EBP clobbered", {0x31, 0xED}, Result::Int, "EBP not preserved"},
        {"float returned", {0xD9, 0xE8}, Result::Float, nullptr},
        {"float left on the stack of an int function", {0xD9, 0xE8}, Result::Int,
         "x87 stack depth changed by +1, expected +0"},
        {"no float returned", {}, Result::Float, "x87 stack depth changed by +0, expected +1"},
        {"two floats pushed", {0xD9, 0xE8, 0xD9, 0xE8}, Result::Float, "changed by +2, expected +1"},
        {"pop of the empty stack", {0xDD, 0xD8}, Result::Int, "changed by -1"},
        {"pop of the empty stack (tags)", {0xDD, 0xD8}, Result::Int, "x87 stack inconsistent"},
        {"eight pushes wrap TOP", eight_pushes, Result::Int, "x87 stack inconsistent"},
        {"control word changed", set_53_bit_precision, Result::Int, "x87 control word changed from 0x037F to 0x007F"},
        {"divide by zero flag", {0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0xDD, 0xD8}, Result::Int,
         "x87 exception flags raised: ZE"},
        {"direction flag", {0xFD}, Result::Int, "direction flag left set"},
        {"x87 arithmetic, whose exceptions the emulator cannot flag", {0xD9, 0xE8, 0xD8, 0xC0, 0xDD, 0xD8},
         Result::Int, "1 x87 instruction(s) that round or raise under the host's control word, first the "
                      "instruction at 0x20003002: D8 C0"},
        {"x87 compare", {0xD9, 0xE8, 0xD9, 0xEE, 0xDF, 0xE9, 0xDD, 0xD8, 0xDD, 0xD8}, Result::Int,
         "1 x87 instruction(s) that round or raise"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DllParts s;
        s.text.bytes = c.body;
        s.text.ret();
        Dll d = load(s);
        const CallOutcome r = d.call(0, Conv::Stdcall, {}, c.result);
        EXPECT_EQ(r.fault, "");
        if (c.violation)
            EXPECT_TRUE(mentions(r.violations, c.violation)) << joined(r.violations);
        else
            EXPECT_TRUE(r.violations.empty()) << joined(r.violations);
    }
}

// ST(0) as the caller sees it: exact conversions, and a refusal for what is not exactly a
// double/float.
TEST(benchCall, ConvertsTheReturnedSt0ExactlyOrRefuses) {
    DllParts s;
    s.text.b({0xDD, 0x05}).abs32(data_va(s)).ret();  // 0: fld qword [data]
    s.text.b({0xD9, 0x05}).abs32(data_va(s)).ret();  // 7: fld dword [data]
    s.text.b({0xD9, 0xEB}).ret();                    // 14: fldpi
    s.text.ret();                                    // 17: nothing
    Dll d = load(s);

    const uint64_t doubles[] = {std::bit_cast<uint64_t>(1.0),
                                std::bit_cast<uint64_t>(-0.0),
                                std::bit_cast<uint64_t>(std::numeric_limits<double>::denorm_min()),
                                std::bit_cast<uint64_t>(-std::numeric_limits<double>::min() * 0.75),
                                std::bit_cast<uint64_t>(std::numeric_limits<double>::max()),
                                std::bit_cast<uint64_t>(-std::numeric_limits<double>::infinity()),
                                0x7FF8000000000123ull,   // quiet NaNs with payloads
                                0xFFFC000000000001ull};
    for (uint64_t bits : doubles) {
        SCOPED_TRACE(testing::Message() << std::hex << bits);
        d.m->poke(d.data(), bits);
        const CallOutcome r = d.call(0, Conv::Stdcall, {}, Result::Float);
        ASSERT_EQ(r.fpu_depth_delta, 1);
        EXPECT_EQ(r.f64_bits(), bits);
    }
    const uint32_t floats[] = {std::bit_cast<uint32_t>(0.1f), std::bit_cast<uint32_t>(-3.0f),
                               std::bit_cast<uint32_t>(std::numeric_limits<float>::denorm_min()), 0x7FC00001u};
    for (uint32_t bits : floats) {
        SCOPED_TRACE(testing::Message() << std::hex << bits);
        d.m->poke(d.data(), bits);
        const CallOutcome r = d.call(7, Conv::Stdcall, {}, Result::Float);
        EXPECT_EQ(std::bit_cast<uint32_t>(r.f32()), bits);
    }

    d.m->poke(d.data(), std::bit_cast<uint64_t>(0.1));
    EXPECT_THROW(d.call(0, Conv::Stdcall, {}, Result::Float).f32(), BenchError);  // 0.1 has no exact float
    EXPECT_THROW(d.call(14, Conv::Stdcall, {}, Result::Float).f64(), BenchError);  // 64-bit pi
    EXPECT_THROW(d.call(17, Conv::Stdcall, {}, Result::Float).f64(), BenchError);  // nothing pushed
}

TEST(benchCall, CountsInstructionsAndVirtualTime) {
    DllParts s;
    s.text.nops(10).ret();
    MachineConfig cfg;
    cfg.clock.cpu_hz = 300'000'000;
    cfg.clock.cycles_per_insn = 3;
    Dll d = load(s, cfg);
    const uint64_t before = d.m->total_insns();
    const CallOutcome r = d.call(0);
    EXPECT_EQ(r.insns, 11u);
    EXPECT_EQ(r.cycles, 33u);
    EXPECT_EQ(r.ns, 110u);
    EXPECT_EQ(d.m->total_insns(), before + 11);
    EXPECT_EQ(d.m->clock().cycles(), 33u);
}

// ---- faults -------------------------------------------------------------------------------------

TEST(benchFault, ReportsWhatAndWhereAndTheMachineStaysUsable) {
    struct Case {
        const char* name;
        std::function<void(DllParts&)> code;  // the faulting function at .text offset 0x10
        std::vector<std::string> expected;   // substrings of the fault
        CallOptions opt = {};
    };
    const uint32_t f = 0x10;  // where the faulting function starts
    const auto at = [](uint32_t text_offset) {  // an instruction's address as the fault names it
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", kOtherBase + kTextRva + text_offset);
        return std::string(buf);
    };
    const Case cases[] = {
        {"null read", [](DllParts& s) { s.text.b({0xA1}).d32(0); },
         {"read of unmapped memory at 0x00000000 (4 bytes)", "instruction at " + at(0x10) + ": A1 00 00 00 00"}},
        {"write to .rdata", [](DllParts& s) { s.text.store_eax(s.image_base + kRdataRva); },
         {"write to read-only memory at 0x20001000", "instruction at " + at(0x10) + ": A3 00 10 00 20"}},
        {"jump to unmapped memory", [](DllParts& s) { s.text.mov_eax(0x07000000).b({0xFF, 0xE0}); },
         {"fetch from unmapped memory at 0x07000000", "reached from the instruction at " + at(0x15) + ": FF E0"}},
        {"jump into .data", [](DllParts& s) { s.text.b({0xB8}).abs32(data_va(s)).b({0xFF, 0xE0}); },
         {"fetch from non-executable memory at 0x20002000"}},
        {"ud2", [](DllParts& s) { s.text.nops(1).b({0x0F, 0x0B}); }, {"invalid instruction at " + at(0x11) + ": 0F 0B"}},
        {"divide by zero", [](DllParts& s) { s.text.b({0x31, 0xC9, 0xF7, 0xF1}); },
         {"interrupt 0 (divide error)", "instruction at " + at(0x12) + ": F7 F1"}},
        {"int3", [](DllParts& s) { s.text.b({0xCC}); }, {"interrupt 3 (breakpoint)", at(0x10) + ": CC"}},
        {"unmasked x87 zero divide, then fwait", [](DllParts& s) { s.text.b({0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0x9B}); },
         {"interrupt 16 (x87 floating-point error)"}, CallOptions{.fpcw = 0x037B}},
        {"endless loop", [](DllParts& s) { s.text.b({0xEB, 0xFE}); }, {"runaway: more than 1000 instructions"},
         CallOptions{.max_insns = 1000}},
        {"endless recursion", [](DllParts& s) { s.text.b({0xE8}).d32(0xFFFFFFFB); },
         {"write to unmapped memory at 0x000FFFFC"}},
        {"hlt", [](DllParts& s) { s.text.b({0xF4}); }, {"without returning"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DllParts s;
        s.text.mov_eax(42).ret();  // 0: a good function
        s.text.nops(f - s.text.here());
        c.code(s);
        s.text.ret();
        Dll d = load(s);
        const CallOutcome r = d.call(f, Conv::Stdcall, {}, Result::Int, 0, c.opt);
        for (const std::string& e : c.expected) EXPECT_NE(r.fault.find(e), std::string::npos) << r.fault;
        for (int again = 0; again < 2; ++again) {
            const CallOutcome good = d.call(0);
            expect_clean(good);
            EXPECT_EQ(good.eax, 42u);
        }
    }
}

// ---- virtual clock as the guest sees it ---------------------------------------------------------

TEST(benchClock, ConvertsCyclesExactlyAtEveryRate) {
    struct Case {
        uint64_t hz, cycles, ns;
    };
    const Case cases[] = {
        {3'000'000'000, 3, 1},
        {3'000'000'000, 2, 0},                        // floor
        {3'000'000'000, 60'000'000'000, 20'000'000'000},  // beyond 2^64 / 1e9 cycles
        {33'000'000, 33, 1000},
        {33'000'000, 1, 30},
    };
    for (const Case& c : cases) {
        bench::VirtualClock clock({.cpu_hz = c.hz});
        clock.add_cycles(c.cycles);
        EXPECT_EQ(clock.ns(), c.ns) << c.hz << " Hz, " << c.cycles << " cycles";
    }
    bench::VirtualClock slow({.cpu_hz = 33'000'000, .start_cycles = 7});
    EXPECT_EQ(slow.ns(), 0u);  // virtual time counts from power-on, whatever the counter shows
    slow.add_ns(1);            // rounds up to a whole cycle
    EXPECT_EQ(slow.cycles(), 8u);
    slow.add_ns(1'000'000'000);
    EXPECT_EQ(slow.cycles(), 33'000'008u);
    EXPECT_EQ(slow.ns(), 1'000'000'030u);
}

TEST(benchClock, RdtscReadsTheVirtualCycleOfItsOwnInstruction) {
    DllParts s;
    s.text.b({0x0F, 0x31}).store_eax(data_va(s, 0)).b({0x89, 0x15}).abs32(data_va(s, 4));  // rdtsc; store
    s.text.nops(5);
    s.text.b({0x0F, 0x31}).store_eax(data_va(s, 8)).b({0x89, 0x15}).abs32(data_va(s, 12));
    s.text.b({0x0F, 0x31}).ret();  // rdtsc right before the return: the result is still virtual
    const uint64_t start = 0x1'0000'0005ull;  // EDX must carry the high half
    MachineConfig cfg;
    cfg.clock.cycles_per_insn = 3;
    cfg.clock.start_cycles = start;
    Dll d = load(s, cfg);
    const CallOutcome r = d.call(0);
    expect_clean(r);
    EXPECT_EQ(d.m->peek<uint64_t>(d.data(0)), start);
    EXPECT_EQ(d.m->peek<uint64_t>(d.data(8)), start + (3 + 5) * 3);
    EXPECT_EQ(r.eax, static_cast<uint32_t>(start + (3 + 5 + 3) * 3));
}

TEST(benchClock, GetTickCountCountsFromItsStartWrapsAndCostsSyscallTime) {
    DllParts s;
    s.imports = {{"KERNEL32.dll", "GetTickCount"}};
    s.text.call_indirect(iat_slot_va(s, 0)).ret();
    MachineConfig cfg;
    cfg.clock.cpu_hz = 100'000'000;  // 10 ns per instruction
    cfg.clock.syscall_ns = 1000;
    cfg.clock.tick_start_ms = 0xFFFFFFFFu - 499;  // 2^32 - 500
    cfg.clock.start_cycles = 0xFFFFFFFFu - 12345;  // moves the time-stamp counter only
    Dll d = load(s, cfg);
    const CallOutcome first = d.call(0);
    EXPECT_EQ(first.eax, 0xFFFFFE0Cu);
    EXPECT_EQ(first.ns, 1000u + 2 * 10);  // the call, the system call, the return
    // The tick as read by a system call at virtual time `ns` (one instruction into the call).
    const auto tick_at = [&](uint64_t ns) {
        d.m->clock().add_ns(ns - 10 - d.m->clock().ns());
        return d.call(0).eax;
    };
    EXPECT_EQ(tick_at(499'999'990), 0xFFFFFFFFu);
    EXPECT_EQ(tick_at(500'002'000), 0u);
    EXPECT_EQ(tick_at(501'000'000), 1u);
    EXPECT_EQ(d.m->get_tick_count_calls(), 4u);
}

// ---- port bus -----------------------------------------------------------------------------------

TEST(benchPorts, TraceHasTheVirtualTimeOfEachAccessAndFlagsBadOnes) {
    DllParts s;
    s.text.b({0xB0, 0x5A});              // mov al, 0x5A
    s.text.b({0x66, 0xBA, 0x02, 0x03});  // mov dx, 0x302 (DAC0)
    s.text.b({0xEE});                    // out dx, al          insn 3
    s.text.b({0xEC});                    // in al, dx           insn 4: DAC0 cannot be read
    s.text.b({0x66, 0xBA, 0xFF, 0x03});  // mov dx, 0x3FF
    s.text.b({0xEC});                    // in al, dx           insn 6: nothing decodes 0x3FF
    s.text.b({0xEE});                    // out dx, al          insn 7
    s.text.b({0x66, 0xBA, 0x04, 0x03});  // mov dx, 0x304 (DINL)
    s.text.b({0x66, 0xED});              // in ax, dx           insn 9: 16 bits
    s.text.b({0xEC});                    // in al, dx           insn 10
    s.text.ret();
    MachineConfig cfg;
    cfg.clock.cpu_hz = 500'000'000;  // 2 ns per instruction
    Dll d = load(s, cfg);
    auto board = std::make_shared<bench::KvrBoard>();
    board->set_din(0x3C, 0);
    d.m->attach(board);

    const CallOutcome r = d.call(0);
    expect_clean(r);
    EXPECT_EQ(r.eax & 0xFF, 0x3Cu);
    EXPECT_EQ(board->dac(0), 0x5A);

    struct Expected {
        bench::Dir dir;
        uint16_t port;
        uint8_t value;
        bool flagged;
        uint64_t insn;  // 1-based instruction number in the call
    };
    using bench::Dir;
    const Expected expected[] = {
        {Dir::Out, 0x302, 0x5A, false, 3}, {Dir::In, 0x302, 0xFF, true, 4},  {Dir::In, 0x3FF, 0xFF, true, 6},
        {Dir::Out, 0x3FF, 0xFF, true, 7},  {Dir::In, 0x304, 0xFF, true, 9},  {Dir::In, 0x304, 0x3C, false, 10},
    };
    const auto& trace = d.m->bus().trace();
    ASSERT_EQ(trace.size(), std::size(expected));
    for (size_t i = 0; i < trace.size(); ++i) {
        SCOPED_TRACE(bench::describe(trace[i], board.get()));
        EXPECT_EQ(trace[i].dir, expected[i].dir);
        EXPECT_EQ(trace[i].port, expected[i].port);
        EXPECT_EQ(trace[i].value, expected[i].value);
        EXPECT_EQ(trace[i].flagged, expected[i].flagged);
        EXPECT_EQ(trace[i].cycle, expected[i].insn - 1);  // the cycle at which the instruction started
        EXPECT_EQ(trace[i].ns, 2 * (expected[i].insn - 1));
    }
    EXPECT_EQ(d.m->bus().flagged().size(), 4u);
    EXPECT_EQ(bench::describe(trace[0], board.get()), "    0.004 us  out 0x302 DAC0  <- 0x5A");
    EXPECT_EQ(bench::describe(trace[2], board.get()), "    0.010 us  in  0x3FF ?     -> 0xFF  FLAGGED: no board decodes this port");
}

// ---- hit counts and link maps -------------------------------------------------------------------

TEST(benchHits, CountCallsOfARoutineWhetherAskedBeforeOrAfterTheLoad) {
    DllParts s;
    s.text.b({0xB9}).d32(7);              // 0: mov ecx, 7
    const size_t loop = s.text.here();
    s.text.b({0xE8}).rel32(0x20);         //    call routine
    s.text.b({0x49, 0x75}).rel8(loop);    //    dec ecx; jnz loop
    s.text.ret();
    s.text.nops(0x20 - s.text.here()).b({0x0F, 0x31}).ret();  // 0x20: routine (an rdtsc, to be classified too)
    for (bool before : {true, false}) {
        SCOPED_TRACE(before ? "before" : "after");
        Dll d{s, std::make_unique<Machine>()};
        const uint32_t routine = kOtherBase + kTextRva + 0x20;
        if (before) d.m->count_hits(routine);
        d.m->load(PeImage::parse(build_pe(s)));
        if (!before) d.m->count_hits(routine);
        expect_clean(d.call(0));
        EXPECT_EQ(d.m->hits(routine), 7u);
        EXPECT_EQ(d.m->hits(routine + 2), 0u);
        expect_clean(d.call(0));
        EXPECT_EQ(d.m->hits(routine), 14u);
    }
}

TEST(benchLinkMap, FindsSymbolsUnderEitherSpelling) {
    const std::string path = testing::TempDir() + "bench_linkmap_test.map";
    {
        std::ofstream map(path);
        map << " .text          0x66281000      0x1234 obj/io.o\n"
               "                0x66281000                _emptycall\n"
               "                0x66281010                _ea@4\n"
               "                0x0000000066282000                __data_start__\n"
               "                0x66283000                __image_base__ = 0x66280000\n"
               "                0x66284000                emptycall\n";
    }
    EXPECT_EQ(bench::map_symbol(path, "_emptycall"), 0x66281000u);
    EXPECT_EQ(bench::map_symbol(path, "emptycall"), 0x66284000u);  // the exact spelling wins
    EXPECT_EQ(bench::map_symbol(path, "ea@4"), 0x66281010u);
    EXPECT_EQ(bench::map_symbol(path, "_data_start__"), 0x66282000u);
    EXPECT_EQ(bench::map_symbol(path, "__image_base__"), std::nullopt);  // an assignment, not a symbol
    EXPECT_EQ(bench::map_symbol(path, "missing"), std::nullopt);
    EXPECT_THROW(bench::map_symbol(path + ".none", "emptycall"), BenchError);
}

// ---- load time of a calibrating DLL -------------------------------------------------------------

// DllMain polls GetTickCount for one virtual second, then makes 1,000,000 calls of a small
// routine; it must load in well under 5 s of real time at every clock rate.
class benchCalibration : public testing::TestWithParam<uint64_t> {};

TEST_P(benchCalibration, LoadsWellUnderFiveSeconds) {
    DllParts s;
    s.imports = {{"KERNEL32.dll", "GetTickCount"}};
    s.text.b({0x56}).call_indirect(iat_slot_va(s, 0)).b({0x89, 0xC6});  // push esi; call; mov esi, eax
    const size_t poll = s.text.here();
    s.text.call_indirect(iat_slot_va(s, 0));
    s.text.b({0x29, 0xF0, 0x3D}).d32(1000).b({0x72}).rel8(poll);  // sub eax, esi; cmp eax, 1000; jb poll
    s.text.b({0xB9}).d32(1'000'000);                               // mov ecx, 1000000
    const size_t loop = s.text.here();
    const size_t routine = 0x40;
    s.text.b({0xE8}).rel32(routine).b({0x49, 0x75}).rel8(loop);    // call routine; dec ecx; jnz loop
    s.text.b({0x5E}).mov_eax(1).ret(12);                           // pop esi; return TRUE
    s.text.nops(routine - s.text.here()).b({0x55, 0x89, 0xE5, 0x5D, 0xC3});  // push ebp; mov ebp, esp; pop ebp; ret
    s.entry = 0;

    MachineConfig cfg;
    cfg.clock.cpu_hz = GetParam();
    Machine m(cfg);
    m.count_hits(cfg.load_base + kTextRva + routine);
    std::vector<uint64_t> progress;
    const auto t0 = std::chrono::steady_clock::now();
    m.load(PeImage::parse(build_pe(s)), [&](uint64_t ns) { progress.push_back(ns); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ calibration ] %llu Hz: %.3f s real, %.3f s virtual, %llu instructions, %u GetTickCount calls\n",
                static_cast<unsigned long long>(GetParam()), seconds, m.clock().ns() / 1e9,
                static_cast<unsigned long long>(m.total_insns()), m.get_tick_count_calls());

    EXPECT_TRUE(m.attach_succeeded());
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(m.hits(cfg.load_base + kTextRva + routine), 1'000'000u);
    EXPECT_GE(m.clock().ns(), 1'000'000'000u);
    // About every 50 ms of virtual time, in order.
    ASSERT_GE(progress.size(), 19u);
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i] - progress[i - 1], 50'000'000u);
        EXPECT_LT(progress[i] - progress[i - 1], 60'000'000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Clocks, benchCalibration, testing::Values(33'000'000, 400'000'000, 3'000'000'000),
                         [](const auto& info) { return std::to_string(info.param / 1'000'000) + "MHz"; });

}  // namespace
