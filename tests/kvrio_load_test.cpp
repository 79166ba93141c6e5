// kvrio start-up: the load trace, the file itself, the clock calibration and the calibrated wait.
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "dll_fixture.h"
#include "kvrio_symbols.h"

namespace kvrtest {
namespace {

using bench::KvrBoard;
namespace sym = kvrio_sym;

TEST(KvrioLoad, WritesZeroToTheFourOutputRegistersInOrderAndReadsNothing)
{
    auto board = std::make_shared<KvrBoard>();
    LoadedDll dll = load_kvrio(board);
    const auto trace = dll.take_trace();
    EXPECT_EQ(accesses(trace), (std::vector<Access>{out(0x302, 0), out(0x303, 0), out(0x313, 0), out(0x312, 0)}));
    for (const auto& a : trace) EXPECT_FALSE(a.flagged) << a.note;
    EXPECT_EQ(dll.machine->get_tick_count_calls() > 0, true);
}

TEST(DllFile, IsARelocatable32BitDllWithOnlyTheImportsItNeeds)
{
    struct Case {
        const char* lib;
        std::vector<std::string> imports;
    };
    for (const Case& c : {Case{"kvrio", {"KERNEL32.dll!GetTickCount"}}, Case{"kvrextio", {}}}) {
        SCOPED_TRACE(c.lib);
        const bench::PeImage pe = bench::PeImage::read_file(dll_path(c.lib));
        EXPECT_EQ(pe.machine, 0x14C);
        EXPECT_TRUE(pe.characteristics & 0x2000) << "not a DLL";
        EXPECT_TRUE(pe.dll_characteristics & 0x0040) << "DYNAMICBASE not set";
        EXPECT_TRUE(pe.dll_characteristics & 0x0100) << "NXCOMPAT not set";
        EXPECT_TRUE(pe.has_reloc_directory);
        EXPECT_FALSE(pe.relocations.empty());
        for (const auto& s : pe.sections) EXPECT_FALSE(s.writable() && s.executable()) << s.name;
        std::vector<std::string> imports;
        for (const auto& i : pe.imports) imports.push_back(i.dll + "!" + i.name);
        EXPECT_EQ(imports, c.imports);
    }
}

// Relocated code and data: a reading, a text reached through a table of pointers, and a result kept
// by the library, at bases other than the preferred one.
TEST(DllFile, LoadsAndRunsAtABaseOtherThanItsPreferredOne)
{
    for (const char* lib : {"kvrio", "kvrextio"}) {
        for (uint32_t base : {0x20000000u, 0x00800000u, 0x7FF00000u}) {
            SCOPED_TRACE(testing::Message() << lib << " at 0x" << std::hex << base);
            bench::MachineConfig cfg;
            cfg.clock = quick_clock();
            cfg.load_base = base;
            bench::Machine m(cfg);
            if (lib == std::string("kvrio")) {
                auto board = std::make_shared<KvrBoard>();
                board->set_code(1, 99);
                m.attach(board);
            } else {
                auto board = std::make_shared<bench::KvrSupBoard>();
                board->set_code(1, 99);
                m.attach(board);
            }
            m.load(dll_path(lib));
            ASSERT_NE(m.image().image_base, base);
            EXPECT_EQ(m.base(), base);
            const bench::Arg ch = bench::i32(1);
            const auto call = [&](const char* name, bench::Result result) {
                const auto r = m.call(*m.export_address(name), bench::Conv::Register, {&ch, 1}, result, 0);
                EXPECT_EQ(r.fault, "") << name;
                EXPECT_TRUE(r.violations.empty()) << name;
                return r;
            };
            EXPECT_EQ(call("ea", bench::Result::Int).i32(), 99);
            EXPECT_EQ(m.read_cstring(call("nsa", bench::Result::Text).eax), "sortie analogique 1");
            const uint32_t kept = call("pead", bench::Result::Int).eax;
            EXPECT_GE(kept, base);
            EXPECT_LT(kept, base + m.image().size_of_image);
            EXPECT_EQ(m.peek<double>(kept), 99.0 * 41 / 4250);  // the double nearest to 99 x 2.46 / 255
        }
    }
}

std::vector<uint8_t> file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t get32(const std::vector<uint8_t>& b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

// Damaged copies of the real kvrio.dll handed to the bench's loader: a PeError that says what is
// wrong, never a crash or a half-loaded image.
TEST(DllFile, DamagedCopiesOfTheRealFileGiveAClearError)
{
    const std::vector<uint8_t> file = file_bytes(dll_path("kvrio"));
    const bench::PeImage pe = bench::PeImage::parse(file);
    uint32_t data_end = 0;  // the end of the last section's raw data; the file may go on with symbols
    for (const auto& s : pe.sections) data_end = std::max(data_end, s.raw_offset + s.raw_size);
    ASSERT_LE(data_end, file.size());

    // Every 64th prefix, and the prefix one byte short of the section data.
    std::vector<size_t> lengths;
    for (size_t len = 0; len < file.size(); len += 64) lengths.push_back(len);
    lengths.push_back(data_end - 1);
    for (size_t len : lengths) {
        SCOPED_TRACE(testing::Message() << "first " << len << " of " << file.size() << " bytes");
        const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(len));
        if (len < data_end) {
            try {
                bench::PeImage::parse(cut);
                ADD_FAILURE() << "a truncated file was accepted";
            } catch (const bench::PeError& e) {
                EXPECT_GT(std::strlen(e.what()), 10u);
            }
        } else {
            EXPECT_EQ(bench::PeImage::parse(cut).exports.size(), pe.exports.size()) << "only symbols cut off";
        }
    }

    // Damaged headers: the copy must be refused with a message that names the damage, by the reader
    // and by the machine's loader.
    const uint32_t nt = get32(file, 0x3C);
    const uint32_t coff = nt + 4, opt = coff + 20;
    const uint32_t table = opt + static_cast<uint32_t>(file[coff + 16] | file[coff + 17] << 8);
    size_t last_data = 0;  // section header of the section whose raw data ends last
    for (size_t i = 0; i < pe.sections.size(); ++i)
        if (pe.sections[i].raw_offset + pe.sections[i].raw_size == data_end) last_data = i;
    const uint32_t last = table + 40 * static_cast<uint32_t>(last_data);
    const uint32_t file_size = static_cast<uint32_t>(file.size());
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* message;
    } cases[] = {
        {"zeroed PE signature", [&](auto& b) { put32(b, nt, 0); }, "bad PE signature"},
        {"PE header offset past the end", [&](auto& b) { put32(b, 0x3C, file_size + 16); }, "PE signature"},
        {"section data starting at the end", [&](auto& b) { put32(b, last + 20, file_size); }, "past the end of the file"},
        {"section data longer than the file", [&](auto& b) { put32(b, last + 16, 0xFFFFFE00); }, "past the end of the file"},
        {"section beyond SizeOfImage", [&](auto& b) { put32(b, last + 12, 0x7FFFF000); }, "outside SizeOfImage"},
        {"section table past the end", [&](auto& b) { put16(b, coff + 2, 0xFFFF); }, "section table"},
        {"export directory outside the image", [&](auto& b) { put32(b, opt + 96, 0x7FFFF000); }, "export directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = file;
        c.damage(bytes);
        try {
            bench::PeImage::parse(bytes);
            ADD_FAILURE() << "accepted";
        } catch (const bench::PeError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        const std::string path = testing::TempDir() + "kvrio_damaged.dll";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
        bench::Machine m;
        m.attach(std::make_shared<KvrBoard>());
        EXPECT_THROW(m.load(path), bench::PeError);
        EXPECT_TRUE(m.bus().trace().empty()) << "the entry point ran";
    }
}

// The calibration second against the tick counter, on the virtual clock. Each case is a full-cost
// load: GetTickCount costs what a system call would, and the load must stay quick in real time.
struct CalibrationCase {
    const char* what;
    uint64_t hz;
    uint32_t tick_start;
    uint64_t start_cycles;
    int32_t ticksperus = -1;  // expected, where the case is about it
};

void PrintTo(const CalibrationCase& c, std::ostream* os) { *os << c.what; }

class KvrioCalibration : public ::testing::TestWithParam<CalibrationCase> {};

TEST_P(KvrioCalibration, MeasuresAtLeastOneSecondAndTruncatesTicksPerMicrosecond)
{
    const CalibrationCase& c = GetParam();
    bench::ClockConfig clock;
    clock.cpu_hz = c.hz;
    clock.tick_start_ms = c.tick_start;
    clock.start_cycles = c.start_cycles;
    const auto t0 = std::chrono::steady_clock::now();
    LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>(), clock);
    const double real_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(real_s, 5.0) << "real time of the load";

    const auto& m = *dll.machine;
    const auto start = m.peek<int64_t>(dll.symbol(sym::tscstart));
    const auto end = m.peek<int64_t>(dll.symbol(sym::tscend));
    const auto span = m.peek<int64_t>(dll.symbol(sym::tscspan));
    const auto ticksperus = m.peek<int32_t>(dll.symbol(sym::ticksperus));
    const uint64_t last = (uint64_t{m.peek<uint32_t>(dll.symbol(sym::tschigh))} << 32) |
                          m.peek<uint32_t>(dll.symbol(sym::tsclow));

    EXPECT_GE(start, static_cast<int64_t>(c.start_cycles));
    EXPECT_EQ(span, end - start);
    // The start tick is read at some point within its millisecond, so the counter runs between 999
    // and 1000 ms (plus one poll) while the tick count advances by 1000.
    EXPECT_GE(span, static_cast<int64_t>(c.hz - c.hz / 1000)) << "calibration second too short";
    EXPECT_LT(span, static_cast<int64_t>(c.hz + c.hz / 1000)) << "calibration second overran";
    EXPECT_EQ(ticksperus, span / 1000000) << "ticks per microsecond must be truncated";
    if (c.ticksperus >= 0) {
        EXPECT_EQ(ticksperus, c.ticksperus);
    }
    EXPECT_GE(last, static_cast<uint64_t>(end)) << "halves of the last counter reading";
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, KvrioCalibration,
    ::testing::Values(CalibrationCase{"at_33MHz", 33'000'000, 0x00100000, 0},
                      CalibrationCase{"at_400MHz_tick_at_2pow31", 400'000'000, 0x80000000u, 0},
                      CalibrationCase{"at_3GHz_tick_wraps_during_the_second", 3'000'000'000, 0xFFFFFE0Cu, 0},
                      CalibrationCase{"tick_starts_at_2pow32_minus_1", 400'000'000, 0xFFFFFFFFu, 0},
                      CalibrationCase{"counter_crosses_2pow32", 3'000'000'000, 0x00100000, (1ull << 32) - 1'000'000'000},
                      CalibrationCase{"truncates_2_999_ticks_to_2", 2'999'000, 0x00100000, 0, 2}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(KvrioClock, CounterHalvesCombineAcrossTheCarry)
{
    // The virtual counter starts just below 2^32, so the calibration reads it with high half 0 and
    // then with high half 1.
    bench::ClockConfig clock = quick_clock(400'000'000);
    clock.start_cycles = (1ull << 32) - 10'000'000;
    LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>(), clock);
    const auto& m = *dll.machine;
    EXPECT_LT(m.peek<int64_t>(dll.symbol(sym::tscstart)), int64_t{1} << 32);
    EXPECT_GT(m.peek<int64_t>(dll.symbol(sym::tscend)), int64_t{1} << 32);
    EXPECT_EQ(m.peek<uint32_t>(dll.symbol(sym::tschigh)), 1u);
    EXPECT_EQ(m.peek<int32_t>(dll.symbol(sym::ticksperus)), m.peek<int64_t>(dll.symbol(sym::tscspan)) / 1000000);
}

// A time-stamp counter that stands still gives ticks per
// microsecond of 0. The load must not fault, and the wait then errs long: the million calls count as
// 1 us, so a conversion still waits (7,000,000 calls) rather than not at all.
TEST(KvrioClock, StandingCounterGivesALongWaitNotAFault)
{
    bench::ClockConfig clock = quick_clock();
    clock.tsc_stands_still = true;
    LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>(), clock);
    EXPECT_EQ(dll.machine->peek<int32_t>(dll.symbol(sym::ticksperus)), 0);
    EXPECT_EQ(dll.machine->peek<double>(dll.symbol(sym::loopspermicro)), 1e6);
    const uint32_t emptycall = dll.symbol(sym::emptycall);
    dll.machine->count_hits(emptycall);
    dll.call("ea", {bench::i32(8)});
    EXPECT_EQ(dll.machine->hits(emptycall), 7'000'000u);
}

// delayus(us): us x loopspermicro rounded to nearest, ties to even, calls of emptycall.
TEST(KvrioDelay, MakesTheRoundedNumberOfEmptyCalls)
{
    struct Case {
        double loopspermicro;
        int us;
        uint64_t calls;
    };
    const Case cases[] = {
        {250.0, 7, 1750}, {1.5, 7, 10}, {0.5, 7, 4}, {2.5, 1, 2}, {3.5, 1, 4},
        {250.0, 0, 0},    {250.0, -5, 0}, {0.07, 7, 0}, {0.0715, 7, 1},
    };
    LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>());
    const uint32_t emptycall = dll.symbol(sym::emptycall);
    dll.machine->count_hits(emptycall);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.us << " us at " << c.loopspermicro << " calls/us");
        dll.machine->poke(dll.symbol(sym::loopspermicro), c.loopspermicro);
        const uint64_t before = dll.machine->hits(emptycall);
        dll.call_internal(sym::delayus, {bench::i32(c.us)}, bench::Result::Int);
        EXPECT_EQ(dll.machine->hits(emptycall) - before, c.calls);
    }
}

// loopspermicro is 1,000,000 / elapsed for a whole number of microseconds, and delayus(7) makes the
// rounded number of calls for it.
TEST(KvrioDelay, CalibrationMatchesTheClock)
{
    for (uint64_t hz : {33'000'000ull, 400'000'000ull, 3'000'000'000ull}) {
        SCOPED_TRACE(hz);
        LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>(), quick_clock(hz));
        const double lpm = dll.machine->peek<double>(dll.symbol(sym::loopspermicro));
        const double elapsed = 1e6 / lpm;
        EXPECT_NEAR(elapsed, std::round(elapsed), 1e-6);
        const uint32_t emptycall = dll.symbol(sym::emptycall);
        dll.machine->count_hits(emptycall);
        dll.call_internal(sym::delayus, {bench::i32(7)}, bench::Result::Int);
        EXPECT_EQ(dll.machine->hits(emptycall), static_cast<uint64_t>(std::nearbyint(7 * lpm)));
        // The calls alone, at the calibrated rate, make 7 us give or take half a call.
        EXPECT_NEAR(std::nearbyint(7 * lpm) / lpm, 7.0, 0.5 / lpm);
    }
}

}  // namespace
}  // namespace kvrtest
