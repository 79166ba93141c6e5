// The export table of both libraries: the export directory in the files, and every export called
// in its own convention, reaching its core operation with the arguments and result converted.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::Arg;

// The declared order of the names, from which the ordinals count down from 58.
TEST(ExportTable, OrdinalsCountDownAlongTheDeclaredOrder)
{
    ASSERT_EQ(kvr::kExportCount, 58u);
    std::set<std::string> names;
    for (unsigned i = 0; i < kvr::kExportCount; ++i) {
        EXPECT_EQ(kvr::kExports[i].ordinal, 58 - i) << kvr::kExports[i].name;
        EXPECT_TRUE(names.insert(kvr::kExports[i].name).second) << "duplicate " << kvr::kExports[i].name;
    }
}

// Stack bytes each member removes, as the host programmer's documentation gives them.
TEST(ExportTable, StackBytesRemoved)
{
    const std::map<std::string, unsigned> special = {
        {"sad", 8},        {"stdsad", 12},      {"stdsa", 8},        {"stdsb", 8},
        {"stdsas", 8},     {"sadouble", 16},    {"sbdouble", 16},    {"stdsadouble", 16},
        {"stdsbdouble", 16}, {"stdtitre", 0},   {"stddetail", 0},    {"pead", 0},
        {"psad", 0}};
    for (const kvr::Export& e : kvr::kExports) {
        unsigned expected;
        if (auto it = special.find(e.name); it != special.end()) {
            expected = it->second;
        } else if (e.family == kvr::Family::Register) {
            expected = 0;
        } else if (e.family == kvr::Family::Double || e.family == kvr::Family::StdcallDouble) {
            expected = 8;
        } else {
            expected = 4;
        }
        EXPECT_EQ(kvr::stack_bytes(e), expected) << e.name;
    }
}

class Exports : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        lib = GetParam();
        if (lib == std::string("kvrio")) {
            auto b = std::make_shared<bench::KvrBoard>();
            for (int i = 0; i < 8; ++i) b->set_code(i, static_cast<uint8_t>(20 + 29 * i));
            b->set_din(0xA5, 0x3C);
            dll = load_kvrio(b);
        } else {
            auto b = std::make_shared<bench::KvrSupBoard>();
            for (int i = 0; i < 4; ++i) b->set_code(i, static_cast<uint8_t>(20 + 29 * i));
            b->set_din(0xA5);
            dll = load_kvrextio(b);
        }
        dll.take_trace();
    }
    std::string lib;
    LoadedDll dll;
};

TEST_P(Exports, DirectoryHoldsExactlyTheTableUndecorated)
{
    const bench::PeImage pe = bench::PeImage::read_file(dll_path(lib));
    EXPECT_EQ(pe.ordinal_base, 1u);
    std::map<std::string, uint32_t> found;
    for (const auto& e : pe.exports) {
        EXPECT_FALSE(e.name.empty()) << "an export by ordinal only: " << e.ordinal;
        found[e.name] = e.ordinal;
    }
    std::map<std::string, uint32_t> expected;
    for (const kvr::Export& e : kvr::kExports) expected[e.name] = e.ordinal;
    EXPECT_EQ(found, expected);
    EXPECT_EQ(pe.exports.size(), kvr::kExportCount);
    // Functions only: every export lies in an executable section.
    for (const auto& e : pe.exports) {
        bool in_code = false;
        for (const auto& s : pe.sections)
            in_code |= s.executable() && e.rva >= s.rva && e.rva < s.rva + s.virtual_size;
        EXPECT_TRUE(in_code) << e.name;
    }
    for (const kvr::Export& e : kvr::kExports)
        EXPECT_EQ(dll.machine->export_address(e.ordinal), dll.machine->export_address(e.name)) << e.name;
}

// The core operation's arguments for an adapter's arguments, as the adapter must convert them.
int32_t as_integer(double d)
{
    if (!std::isfinite(d) || std::fabs(d) >= 0x1p63) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(std::nearbyint(d)))));
}

// One call of every export with typical arguments: each must give what its core operation gives for
// the converted arguments, with the same bytes on the bus. The fixture checks the conventions.
TEST_P(Exports, EveryExportReachesItsCoreOperation)
{
    // Every integer argument of a core operation is 1 (channel 1, code or state 1); every real one is
    // 1.5, passed as the adapter's type wants it.
    const uint32_t volts_ptr = dll.machine->alloc(8);
    dll.machine->poke(volts_ptr, 1.5);
    for (const kvr::Export& e : kvr::kExports) {
        SCOPED_TRACE(e.name);
        const kvr::Export& core = export_entry(e.core);
        std::vector<Arg> args, core_args;
        for (size_t i = 0; i < std::strlen(e.args); ++i) {
            const bool real = core.args[i] == 'd';
            switch (e.args[i]) {
            case 'i':
            case 'h': args.push_back(bench::i32(1)); break;
            case 'd': args.push_back(bench::f64(real ? 1.5 : 1.0)); break;
            case 's': args.push_back(bench::f32(1.5f)); break;
            case 'p': args.push_back(bench::ptr(volts_ptr)); break;
            }
            core_args.push_back(real ? bench::f64(1.5) : bench::i32(1));
        }
        const auto via_adapter = dll.call(e.name, args);
        const auto adapter_trace = accesses(dll.take_trace());
        const auto via_core = dll.call(e.core, core_args);
        EXPECT_EQ(adapter_trace, accesses(dll.take_trace()));

        switch (e.result) {
        case 'i': EXPECT_EQ(via_adapter.eax, via_core.eax); break;
        case 't': EXPECT_EQ(dll.text(via_adapter), dll.text(via_core)); break;
        case 'd':
            if (core.result == 'i') EXPECT_EQ(via_adapter.f64(), static_cast<double>(via_core.i32()));
            else EXPECT_EQ(via_adapter.f64_bits(), via_core.f64_bits());
            break;
        case 's': EXPECT_EQ(std::bit_cast<uint32_t>(via_adapter.f32()),
                            std::bit_cast<uint32_t>(static_cast<float>(via_core.f64())));
            break;
        case 'p':
            EXPECT_EQ(dll.machine->peek<uint64_t>(via_adapter.eax), via_core.f64_bits());
            break;
        }
    }
}

// A double channel or state is rounded to nearest, ties to even, as a 64-bit integer whose low 32
// bits are used; one that is not a number, infinite or beyond 2^63 becomes -1, which every operation
// rejects.
TEST_P(Exports, DoubleChannelsRoundToNearestEven)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double cases[] = {2.5, 3.5, -0.4, -0.5, 0.5, 1.5, 4294967299.0, 4294967296.0 + 7.5, 16.0, -1.0,
                            nan, inf, -inf, 0x1p63, -0x1p63, 0x1p62 + 1024.0, 1e300, 4.9e-324, -0.0};
    for (const char* name : {"ebdouble", "stdebdouble", "rsbdouble", "stdrsbdouble"}) {
        const std::string core = export_entry(name).core;
        for (double d : cases) {
            SCOPED_TRACE(testing::Message() << name << "(" << d << ")");
            const auto r = dll.call(name, {bench::f64(d)});
            const auto trace = accesses(dll.take_trace());
            const auto c = dll.call(core, {bench::i32(as_integer(d))});
            EXPECT_EQ(trace, accesses(dll.take_trace()));
            EXPECT_EQ(r.f64(), static_cast<double>(c.i32()));
        }
    }
}

TEST_P(Exports, TwoArgumentFormsTakeTheChannelFirst)
{
    // sadouble pushes the channel first, stdsadouble last; both set output 1 to 4.5 (V or kHz).
    const auto ref = dll.call("sad", {bench::i32(1), bench::f64(4.5)});
    const auto ref_trace = accesses(dll.take_trace());
    ASSERT_FALSE(ref_trace.empty());
    for (const char* name : {"sadouble", "stdsadouble"}) {
        SCOPED_TRACE(name);
        const auto r = dll.call(name, {bench::f64(1.0), bench::f64(4.5)});
        EXPECT_EQ(r.f64_bits(), ref.f64_bits());
        EXPECT_EQ(accesses(dll.take_trace()), ref_trace);
    }
    for (const char* name : {"sbdouble", "stdsbdouble"}) {
        SCOPED_TRACE(name);
        const auto r = dll.call(name, {bench::f64(3.0), bench::f64(1.0)});
        const auto t = accesses(dll.take_trace());
        const auto c = dll.call("sb", {bench::i32(3), bench::i32(1)});
        EXPECT_EQ(r.f64(), static_cast<double>(c.i32()));
        EXPECT_EQ(t, accesses(dll.take_trace()));
    }
    const auto s = dll.call("stdsas", {bench::i32(0), bench::f32(4.5f)});
    EXPECT_EQ(s.f32(), 4.5f);
}

TEST_P(Exports, TextsComeBackInEaxWhateverTheFamily)
{
    EXPECT_EQ(dll.text(dll.call("stdnsa", {bench::i32(65537)})), "sortie analogique 1");
    EXPECT_EQ(dll.text(dll.call("neadouble", {bench::f64(1.0)})), "EA 1 (volts)");
    EXPECT_EQ(dll.text(dll.call("stdtitre", {})), dll.text(dll.call("titre", {})));
    EXPECT_EQ(dll.text(dll.call("stddetail", {})), dll.text(dll.call("detail", {})));
    EXPECT_EQ(dll.text(dll.call("nebdouble", {bench::f64(std::numeric_limits<double>::quiet_NaN())})), "");
}

TEST_P(Exports, SingleResultsRoundToNearestSingle)
{
    for (int ch = 0; ch < 2; ++ch) {
        const double d = dll.call("ead", {bench::i32(ch)}).f64();
        EXPECT_EQ(std::bit_cast<uint32_t>(dll.call("stdeas", {bench::i32(ch)}).f32()),
                  std::bit_cast<uint32_t>(static_cast<float>(d)));
    }
    EXPECT_EQ(dll.call("stdeas", {bench::i32(-1)}).f32(), static_cast<float>(dll.call("ead", {bench::i32(-1)}).f64()));
    EXPECT_EQ(dll.call("stdrsas", {bench::i32(7)}).f32(), -777.0f);
}

// pead and psad: the result stays readable after the call and through further calls; the double
// psad reads is left as it was; a null pointer gives -777.0 and touches nothing.
TEST_P(Exports, PointerResults)
{
    const auto first = dll.call("pead", {bench::i32(0)});
    const uint64_t first_value = dll.machine->peek<uint64_t>(first.eax);
    EXPECT_EQ(first_value, dll.call("ead", {bench::i32(0)}).f64_bits());
    for (int i = 0; i < 14; ++i) dll.call("pead", {bench::i32(1)});
    EXPECT_EQ(dll.machine->peek<uint64_t>(first.eax), first_value) << "clobbered by later calls";

    const uint32_t p = dll.machine->alloc(8);
    dll.machine->poke(p, 2.25);
    dll.take_trace();
    const auto r = dll.call("psad", {bench::i32(0), bench::ptr(p)});
    EXPECT_EQ(dll.machine->peek<double>(p), 2.25);
    EXPECT_EQ(dll.machine->peek<uint64_t>(r.eax), dll.call("sad", {bench::i32(0), bench::f64(2.25)}).f64_bits());
    dll.take_trace();

    const auto null = dll.call("psad", {bench::i32(0), bench::ptr(0)});
    EXPECT_EQ(dll.machine->peek<double>(null.eax), -777.0);
    EXPECT_TRUE(dll.take_trace().empty());
}

INSTANTIATE_TEST_SUITE_P(Libraries, Exports, ::testing::Values("kvrio", "kvrextio"),
                         [](const auto& info) { return std::string(info.param); });

// What the README promises for pead and psad: each keeps its last 16 results, so a result stays
// readable and unchanged through 15 further calls of the same function and through any number of
// calls of other functions, the other pointer function included. Every result here is distinct, so
// a slot used twice would show.
TEST(PointerResults, StayUnchangedThroughFifteenFurtherCallsAndAnyOtherCalls)
{
    for (const std::string lib : {"kvrio", "kvrextio"}) {
        SCOPED_TRACE(lib);
        auto kvr = std::make_shared<bench::KvrBoard>();
        auto sup = std::make_shared<bench::KvrSupBoard>();
        LoadedDll dll = lib == "kvrio" ? load_kvrio(kvr) : load_kvrextio(sup);
        const auto set_input0 = [&](uint8_t code) {
            if (lib == "kvrio") kvr->set_code(0, code);
            else sup->set_code(0, code);
        };
        const uint32_t volts = dll.machine->alloc(8);

        struct Kept {
            uint32_t at;
            uint64_t bits;
        };
        std::vector<Kept> pead, psad;
        // Calls of every other export with valid arguments between the pointer calls, as a host makes
        // them: they must leave the kept results alone.
        const auto others = [&] {
            for (const kvr::Export& e : kvr::kExports) {
                if (e.family == kvr::Family::Pointer) continue;
                std::vector<Arg> args;
                for (const char* a = e.args; *a; ++a)
                    args.push_back(*a == 'd' ? bench::f64(1.0) : *a == 's' ? bench::f32(1.0f) : bench::i32(1));
                dll.call(e.name, args);
            }
        };
        for (int k = 0; k < 16; ++k) {
            set_input0(static_cast<uint8_t>(100 + k));
            const auto r = dll.call("pead", {bench::i32(0)});
            pead.push_back({r.eax, dll.machine->peek<uint64_t>(r.eax)});
            dll.machine->poke(volts, 0.5 * k);
            const auto s = dll.call("psad", {bench::i32(0), bench::ptr(volts)});
            psad.push_back({s.eax, dll.machine->peek<uint64_t>(s.eax)});
            EXPECT_EQ(std::bit_cast<double>(psad.back().bits), 0.5 * k);
            if (k % 4 == 0) others();
        }
        for (int round = 0; round < 20; ++round) others();
        for (int k = 0; k < 16; ++k) {
            EXPECT_EQ(dll.machine->peek<uint64_t>(pead[k].at), pead[k].bits) << "pead result " << k;
            EXPECT_EQ(dll.machine->peek<uint64_t>(psad[k].at), psad[k].bits) << "psad result " << k;
        }
        // The values really were distinct, so nothing above compared a slot with itself.
        for (int k = 1; k < 16; ++k) EXPECT_NE(pead[k].bits, pead[k - 1].bits);
    }
}

}  // namespace
}  // namespace kvrtest
