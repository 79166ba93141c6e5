// Every export of both libraries under every host x87 control word: 64-bit precision with all
// exceptions masked (0x037F), 53-bit (0x027F), 24-bit (0x007F), a Pascal host's word with invalid,
// zero-divide and overflow unmasked (0x1332), and 0x037F with rounding down, up and toward zero.
//
// Each control word gets a freshly loaded library on an identically scripted board and the same
// sequence of calls, so each sees the same machine state. Every call must give the same result bits
// (EAX, the 80 bits of ST(0), the text, or the double pointed to) and the same port trace, timing
// within the call included, as under 0x037F; the fixture checks the conventions of every call.
#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <tuple>

#include "dll_fixture.h"
#include "fuzz_support.h"

namespace kvrtest {
namespace {

using bench::Arg;

constexpr uint16_t kReference = 0x037F;
constexpr uint16_t kOthers[] = {0x027F, 0x007F, 0x1332, 0x077F, 0x0B7F, 0x0F7F};

// A call of the sequence. Pointer arguments are indices into the doubles placed in guest memory.
struct Call {
    const kvr::Export* e;
    std::vector<Arg> args;
    int pointee = -1;  // index into pointees() for psad, -1 for none or null
};

const std::vector<uint64_t>& pointees() { return kvrfuzz::boundary_volts(); }

// The boundary values of one argument of an export. `few` gives a handful for the cross product of
// two-argument members: a valid value or two, an invalid one, a NaN where the argument is a double.
std::vector<Arg> values(const kvr::Export& e, size_t i, bool few)
{
    const kvr::Export& core = export_entry(e.core);
    std::vector<Arg> v;
    switch (e.args[i]) {
    case 'i':
    case 'h':
        if (i == 0) {
            const std::vector<int32_t> some = {-1, 0, 1, 2, 3, 8, 256, 65538};
            for (int32_t c : few ? some : kvrfuzz::boundary_channels()) v.push_back(bench::i32(c));
        } else {
            const std::vector<int32_t> some = {0, 1, 2, 200};
            for (int32_t c : few ? some : kvrfuzz::boundary_codes()) v.push_back(bench::i32(c));
        }
        break;
    case 'd':
        if (core.args[i] == 'd') {
            const std::vector<uint64_t> some = {std::bit_cast<uint64_t>(1.5), std::bit_cast<uint64_t>(4.5),
                                                0x7FF0000000000001};
            for (uint64_t b : few ? some : kvrfuzz::boundary_volts()) v.push_back(bench::f64_bits(b));
        } else if (few) {
            for (double d : {0.0, 1.0, 2.0, 2.5, -0.5, 16.0, 0x1p63}) v.push_back(bench::f64(d));
            v.push_back(bench::f64_bits(0xFFF8000000000000));  // the x87's "indefinite" NaN
        } else {
            for (uint64_t b : kvrfuzz::boundary_int_doubles()) v.push_back(bench::f64_bits(b));
        }
        break;
    case 's':
        if (few) {
            for (float f : {1.5f, 4.5f}) v.push_back(bench::f32(f));
            v.push_back(bench::f32_bits(0x7F800001));
        } else {
            for (uint32_t b : kvrfuzz::boundary_singles()) v.push_back(bench::f32_bits(b));
        }
        break;
    case 'p':
        // Pointer arguments are filled in per machine; here the index travels in the bits.
        for (size_t k = 0; k < pointees().size(); ++k) {
            const double d = std::bit_cast<double>(pointees()[k]);
            if (!few || d == 1.5 || d == 4.5 || pointees()[k] == 0x7FF0000000000001)
                v.push_back(bench::ptr(static_cast<uint32_t>(k + 1)));
        }
        v.push_back(bench::ptr(0));
        break;
    }
    return v;
}

// One call of every export per boundary value of its argument; for two arguments, every boundary
// value of each against a few of the other.
std::vector<Call> sequence()
{
    std::vector<Call> calls;
    const auto add = [&](const kvr::Export& e, std::vector<Arg> args) {
        Call c{&e, std::move(args)};
        for (Arg& a : c.args)
            if (a.kind == Arg::Ptr && a.bits != 0) c.pointee = static_cast<int>(a.bits) - 1;
        calls.push_back(std::move(c));
    };
    for (const kvr::Export& e : kvr::kExports) {
        switch (std::strlen(e.args)) {
        case 0: add(e, {}); break;
        case 1:
            for (const Arg& a : values(e, 0, false)) add(e, {a});
            break;
        case 2:
            for (const Arg& a : values(e, 0, false))
                for (const Arg& b : values(e, 1, true)) add(e, {a, b});
            for (const Arg& a : values(e, 0, true))
                for (const Arg& b : values(e, 1, false)) add(e, {a, b});
            break;
        }
    }
    // Interleaved, so that the read-backs see many settings and every call a varied state; the
    // order only has to be the same for every control word.
    std::shuffle(calls.begin(), calls.end(), std::mt19937(2003));
    return calls;
}

// What one call gave: the result bytes, the port trace with times from the start of the call, and
// the virtual time the call took.
struct Record {
    std::vector<uint8_t> result;
    std::vector<std::tuple<bench::Dir, uint16_t, uint8_t, uint64_t, uint64_t>> trace;  // dir, port, value, cycle, ns
    uint64_t cycles = 0, ns = 0, insns = 0;
    bool operator==(const Record&) const = default;
};

std::vector<uint8_t> result_bytes(const LoadedDll& dll, const kvr::Export& e, const bench::CallOutcome& r)
{
    switch (e.result) {
    case 'd':
    case 's': return {r.st0, r.st0 + sizeof r.st0};
    case 't': {
        const std::string t = dll.text(r);
        return {t.begin(), t.end()};
    }
    case 'p': {
        std::vector<uint8_t> b(8);
        dll.machine->read(r.eax, b.data(), b.size());
        return b;
    }
    default: return {reinterpret_cast<const uint8_t*>(&r.eax), reinterpret_cast<const uint8_t*>(&r.eax) + 4};
    }
}

LoadedDll load(const std::string& lib)
{
    // The same inputs for every load: distinct codes, both bit levels on the digital inputs.
    if (lib == "kvrio") {
        auto b = std::make_shared<bench::KvrBoard>();
        for (int i = 0; i < 8; ++i) b->set_code(i, static_cast<uint8_t>(7 + 33 * i));
        b->set_din(0x5A, 0xC3);
        return load_kvrio(b);
    }
    auto b = std::make_shared<bench::KvrSupBoard>();
    for (int i = 0; i < 4; ++i) b->set_code(i, static_cast<uint8_t>(60 + 61 * i));
    b->set_din(0x96);
    return load_kvrextio(b);
}

// Runs the whole sequence on a fresh library under one control word.
std::vector<Record> run(const std::string& lib, const std::vector<Call>& calls, uint16_t fpcw)
{
    LoadedDll dll = load(lib);
    std::vector<uint32_t> at;
    for (uint64_t b : pointees()) {
        at.push_back(dll.machine->alloc(8));
        dll.machine->poke(at.back(), b);
    }
    dll.take_trace();
    std::vector<Record> records;
    records.reserve(calls.size());
    for (const Call& c : calls) {
        std::vector<Arg> args = c.args;
        for (Arg& a : args)
            if (a.kind == Arg::Ptr && a.bits != 0) a = bench::ptr(at[a.bits - 1]);
        SCOPED_TRACE(testing::Message() << lib << " under 0x" << std::hex << fpcw << ": "
                                        << kvrfuzz::describe_args(*c.e, args));
        const uint64_t c0 = dll.machine->clock().cycles(), ns0 = dll.machine->clock().ns();
        const bench::CallOutcome r = dll.call(c.e->name, args, fpcw);
        Record rec;
        if (r.fault.empty()) rec.result = result_bytes(dll, *c.e, r);
        for (const bench::PortAccess& a : dll.take_trace())
            rec.trace.emplace_back(a.dir, a.port, a.value, a.cycle - c0, a.ns - ns0);
        rec.cycles = r.cycles;
        rec.ns = r.ns;
        rec.insns = r.insns;
        if (c.pointee >= 0) {
            EXPECT_EQ(dll.machine->peek<uint64_t>(at[c.pointee]), pointees()[c.pointee]) << "psad wrote its argument";
        }
        records.push_back(std::move(rec));
    }
    return records;
}

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, EveryExportGivesTheSameBitsAndTraceUnderEveryControlWord)
{
    const std::string lib = GetParam();
    const std::vector<Call> calls = sequence();
    const std::vector<Record> reference = run(lib, calls, kReference);
    for (uint16_t fpcw : kOthers) {
        const std::vector<Record> got = run(lib, calls, fpcw);
        ASSERT_EQ(got.size(), reference.size());
        int reported = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            if (got[i] == reference[i]) continue;
            ADD_FAILURE() << lib << " under 0x" << std::hex << fpcw << std::dec << ", call " << i << " "
                          << kvrfuzz::describe_args(*calls[i].e, calls[i].args)
                          << (got[i].result != reference[i].result ? ": result differs" : "")
                          << (got[i].trace != reference[i].trace ? ": port trace differs" : "")
                          << (got[i].cycles != reference[i].cycles ? ": time taken differs" : "");
            if (++reported == 20) break;
        }
    }
    std::printf("%s: %zu calls under each of %zu control words\n", lib.c_str(), calls.size(), std::size(kOthers) + 1);
}

INSTANTIATE_TEST_SUITE_P(Libraries, Conformance, ::testing::Values("kvrio", "kvrextio"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace kvrtest
