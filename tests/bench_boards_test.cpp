// The simulated boards on the port bus: the KVR converter's select/discard/settle contract, the
// KVR-Sup converter, counter 0 of its interval timer, and the bus's direction and decode checks.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "bench/boards.h"
#include "bench/portbus.h"

namespace {

using bench::Dir;
using bench::KvrBoard;
using bench::KvrSupBoard;
using bench::PortAccess;
using bench::PortBus;

// A board on a bus, driven with explicit virtual times; each access returns its trace entry.
template <class B>
struct Bench {
    std::shared_ptr<B> board = std::make_shared<B>();
    PortBus bus;
    Bench() { bus.attach(board); }
    PortAccess in(uint16_t port, uint64_t ns) {
        bus.in(port, ns, ns);
        return bus.trace().back();
    }
    PortAccess out(uint16_t port, uint8_t value, uint64_t ns = 0) {
        bus.out(port, value, ns, ns);
        return bus.trace().back();
    }
};

bool has(const std::string& note, const char* what) { return note.find(what) != std::string::npos; }

// ---- KVR converter ------------------------------------------------------------------------------

TEST(benchKvrConverter, SelectCodesPickTheInputsOfEachGroup) {
    struct Case {
        uint16_t mux, adc;
        uint8_t code;
        int input;
    };
    const Case cases[] = {
        {KvrBoard::MUXA, KvrBoard::ADCA, 4, 0}, {KvrBoard::MUXA, KvrBoard::ADCA, 8, 1},
        {KvrBoard::MUXA, KvrBoard::ADCA, 1, 2}, {KvrBoard::MUXA, KvrBoard::ADCA, 2, 3},
        {KvrBoard::MUXB, KvrBoard::ADCB, 4, 4}, {KvrBoard::MUXB, KvrBoard::ADCB, 8, 5},
        {KvrBoard::MUXB, KvrBoard::ADCB, 1, 6}, {KvrBoard::MUXB, KvrBoard::ADCB, 2, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int{c.code} << " on 0x" << std::hex << c.mux);
        Bench<KvrBoard> b;
        for (int i = 0; i < 8; ++i) b.board->set_code(i, static_cast<uint8_t>(0x10 + i));
        b.out(c.mux, c.code);
        b.in(c.adc, 1000);
        const PortAccess good = b.in(c.adc, 1000 + KvrBoard::kSettleNs);
        EXPECT_EQ(good.value, 0x10 + c.input);
        EXPECT_FALSE(good.flagged) << good.note;
    }
}

// One conversion sequence per case: (port, value or read, time) steps and what each read gives.
TEST(benchKvrConverter, EnforcesSelectDiscardAndSettleTime) {
    constexpr uint8_t U = KvrBoard::kUnsettled, CODE = 0x7E;
    constexpr uint16_t MUX = KvrBoard::MUXA, ADC = KvrBoard::ADCA;
    struct Step {
        uint16_t port;
        std::optional<uint8_t> write;  // nullopt: a read
        uint64_t ns;
        uint8_t expect = 0;            // for reads
        bool flagged = false;
        const char* note = "";
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        uint64_t settle_ns;            // last_settle_ns(0) at the end
    };
    const Case cases[] = {
        {"read before any select", {{ADC, {}, 0, U, true, "no input selected"}}, 0},
        {"select, discard, read after the settling time",
         {{MUX, 4, 0}, {ADC, {}, 100, U, false, "discarded"}, {ADC, {}, 7100, CODE, false, "settled 7000 ns"}},
         7000},
        {"read 1 ns too early, then in time",
         {{MUX, 4, 0},
          {ADC, {}, 100, U, false, "discarded"},
          {ADC, {}, 7099, U, true, "read 6999 ns after the discarded read"},
          {ADC, {}, 9000, CODE}},
         8900},
        {"further reads keep the code and the first settling time",
         {{MUX, 4, 0}, {ADC, {}, 0}, {ADC, {}, 8000, CODE}, {ADC, {}, 8001, CODE}, {ADC, {}, 20000, CODE}},
         8000},
        {"a new select needs a new discard",
         {{MUX, 4, 0}, {ADC, {}, 0}, {ADC, {}, 7000, CODE}, {MUX, 8, 7500},
          {ADC, {}, 8000, U, false, "discarded"}, {ADC, {}, 9000, U, true, "read 1000 ns"}},
         7000},
        {"select code that selects nothing",
         {{MUX, 3, 0}, {ADC, {}, 100, U, true, "no input selected"}, {ADC, {}, 20000, U, true, "no input selected"}},
         0},
        {"the other group's select does not help",
         {{KvrBoard::MUXB, 4, 0}, {ADC, {}, 100, U, true}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench<KvrBoard> b;
        b.board->set_code(0, CODE);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i);
            if (s.write) {
                EXPECT_FALSE(b.out(s.port, *s.write, s.ns).flagged);
                continue;
            }
            const PortAccess a = b.in(s.port, s.ns);
            if (s.expect) {
                EXPECT_EQ(a.value, s.expect);
            }
            EXPECT_EQ(a.flagged, s.flagged) << a.note;
            EXPECT_TRUE(has(a.note, s.note)) << a.note;
        }
        EXPECT_EQ(b.board->last_settle_ns(0), c.settle_ns);
    }
}

TEST(benchKvrBoard, DigitalInputsAndWriteOnlyRegisters) {
    Bench<KvrBoard> b;
    EXPECT_EQ(b.board->dac(0), std::nullopt);
    b.board->set_din(0xA1, 0x5B);
    EXPECT_EQ(b.in(KvrBoard::DINL, 0).value, 0xA1);
    EXPECT_EQ(b.in(KvrBoard::DINH, 0).value, 0x5B);
    b.out(KvrBoard::DAC0, 0x12);
    b.out(KvrBoard::DAC1, 0x34);
    b.out(KvrBoard::DOUTL, 0x56);
    b.out(KvrBoard::DOUTH, 0x78);
    EXPECT_EQ(b.board->dac(0), 0x12);
    EXPECT_EQ(b.board->dac(1), 0x34);
    EXPECT_EQ(b.board->dout(0), 0x56);
    EXPECT_EQ(b.board->dout(1), 0x78);
    EXPECT_TRUE(b.bus.flagged().empty());
}

// ---- the bus's checks ---------------------------------------------------------------------------

TEST(benchPortBus, FlagsUndecodedPortsAndWrongDirections) {
    struct Case {
        const char* name;
        Dir dir;
        uint16_t port;
        const char* note;
    };
    const Case cases[] = {
        {"read of a select register", Dir::In, KvrBoard::MUXA, "MUXA cannot be read"},
        {"read of a DAC", Dir::In, KvrBoard::DAC1, "DAC1 cannot be read"},
        {"write of the converter", Dir::Out, KvrBoard::ADCB, "ADCB cannot be written"},
        {"write of the digital inputs", Dir::Out, KvrBoard::DINL, "DINL cannot be written"},
        {"read of a port in the gap", Dir::In, 0x305, "no board decodes this port"},
        {"write above the board", Dir::Out, 0x315, "no board decodes this port"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench<KvrBoard> b;
        const PortAccess a = c.dir == Dir::In ? b.in(c.port, 0) : b.out(c.port, 0x42);
        EXPECT_TRUE(a.flagged);
        EXPECT_EQ(a.note, c.note);
        if (c.dir == Dir::In) {
            EXPECT_EQ(a.value, PortBus::kFloatingBus);
        }
        EXPECT_EQ(b.bus.flagged().size(), 1u);
    }
    // Nothing on the bus at all.
    PortBus empty;
    EXPECT_EQ(empty.in(0x300, 0, 0), PortBus::kFloatingBus);
    EXPECT_TRUE(empty.trace().back().flagged);
    // A wider access never reaches the byte-wide registers.
    Bench<KvrBoard> b;
    EXPECT_EQ(b.bus.in_wide(KvrBoard::DINL, 2, 0, 0), 0xFFFFu);
    b.bus.out_wide(KvrBoard::DAC0, 4, 0x01020304, 0, 0);
    EXPECT_EQ(b.board->dac(0), std::nullopt);
    EXPECT_EQ(b.bus.flagged().size(), 2u);
    EXPECT_TRUE(has(b.bus.trace().back().note, "32-bit out of 0x01020304"));
}

// ---- KVR-Sup ------------------------------------------------------------------------------------

TEST(benchKvrSupConverter, GivesTheSelectedInputAtOnce) {
    Bench<KvrSupBoard> b;
    for (int i = 0; i < 4; ++i) b.board->set_code(i, static_cast<uint8_t>(0x20 + i));
    const PortAccess before = b.in(KvrSupBoard::ADCA, 0);
    EXPECT_EQ(before.value, KvrSupBoard::kUnsettled);
    EXPECT_TRUE(before.flagged);
    const std::pair<uint8_t, uint8_t> selects[] = {{4, 0x20}, {8, 0x21}, {1, 0x22}, {2, 0x23}};
    for (const auto& [code, value] : selects) {
        b.out(KvrSupBoard::MUXA, code);
        const PortAccess a = b.in(KvrSupBoard::ADCA, 0);
        EXPECT_EQ(a.value, value) << int{code};
        EXPECT_FALSE(a.flagged);
    }
    b.out(KvrSupBoard::MUXA, 0x0C);  // two bits: selects nothing
    EXPECT_TRUE(b.in(KvrSupBoard::ADCA, 0).flagged);
}

TEST(benchKvrSupBoard, DigitalIoAndRegisterDirections) {
    Bench<KvrSupBoard> b;
    b.board->set_din(0x96);
    EXPECT_EQ(b.in(KvrSupBoard::DINL, 0).value, 0x96);
    b.out(KvrSupBoard::DAC0, 1);
    b.out(KvrSupBoard::DAC1, 2);
    b.out(KvrSupBoard::DOUTL, 3);
    EXPECT_EQ(b.board->dac(0), 1);
    EXPECT_EQ(b.board->dac(1), 2);
    EXPECT_EQ(b.board->dout(), 3);
    EXPECT_TRUE(b.bus.flagged().empty());
    for (uint16_t port : {KvrSupBoard::TMR0, KvrSupBoard::TMRCTL, KvrSupBoard::DAC1})
        EXPECT_TRUE(b.in(port, 0).flagged) << std::hex << port;
    for (uint16_t port : {uint16_t{0x306}, uint16_t{0x30D}, uint16_t{0x30E}, uint16_t{0x310}})
        EXPECT_TRUE(b.out(port, 0).flagged) << std::hex << port;
}

// Counter 0: control words and count bytes as a library might write them, right or wrong.
TEST(benchKvrSupTimer, ProgramsCounterZeroFromControlWordsAndCountBytes) {
    constexpr uint16_t CTL = KvrSupBoard::TMRCTL, CNT = KvrSupBoard::TMR0;
    struct Write {
        uint16_t port;
        uint8_t value;
    };
    struct Case {
        const char* name;
        std::vector<Write> writes;
        std::optional<uint32_t> count;
        std::optional<double> khz;
        int loads;
        uint8_t mode;
        const char* last_note = "";
    };
    const Case cases[] = {
        {"mode 3, LSB then MSB", {{CTL, 0x36}, {CNT, 0x6C}, {CNT, 0x20}}, 0x206C, 1.0, 1, 3, "count 0x206C loaded"},
        {"bytes in the wrong order", {{CTL, 0x36}, {CNT, 0x20}, {CNT, 0x6C}}, 0x6C20, 8300.0 / 0x6C20, 1, 3},
        {"MSB missing", {{CTL, 0x36}, {CNT, 0x6C}}, std::nullopt, std::nullopt, 0, 3, "count LSB 0x6C"},
        {"latch command keeps the byte toggle",
         {{CTL, 0x36}, {CNT, 0x6C}, {CTL, 0x00}, {CNT, 0x20}}, 0x206C, 1.0, 1, 3},
        {"a control word restarts the byte order",
         {{CTL, 0x36}, {CNT, 0x11}, {CTL, 0x36}, {CNT, 0x6C}, {CNT, 0x20}}, 0x206C, 1.0, 1, 3},
        {"a control word drops the count",
         {{CTL, 0x36}, {CNT, 0x10}, {CNT, 0x00}, {CTL, 0x36}, {CNT, 0x6C}}, std::nullopt, std::nullopt, 1, 3},
        {"count bytes before any control word are ignored",
         {{CNT, 0x20}, {CTL, 0x36}, {CNT, 0x6C}, {CNT, 0x20}}, 0x206C, 1.0, 1, 3},
        {"count 0 means 65536", {{CTL, 0x36}, {CNT, 0}, {CNT, 0}}, 0, 8300.0 / 65536, 1, 3},
        {"mode 2 is a rate generator", {{CTL, 0x34}, {CNT, 0x0A}, {CNT, 0}}, 10, 830.0, 1, 2},
        {"mode 0 generates no frequency", {{CTL, 0x30}, {CNT, 0x0A}, {CNT, 0}}, 10, std::nullopt, 1, 0},
        {"mode 7 is mode 3", {{CTL, 0x3E}, {CNT, 0x53}, {CNT, 0}}, 0x53, 100.0, 1, 3},
        {"LSB only", {{CTL, 0x16}, {CNT, 0x53}}, 0x53, 100.0, 1, 3},
        {"MSB only", {{CTL, 0x26}, {CNT, 0x01}}, 0x100, 8300.0 / 256, 1, 3},
        {"BCD count", {{CTL, 0x37}, {CNT, 0x00}, {CNT, 0x10}}, 0x1000, 8.3, 1, 3},
        {"counter 1 is not counter 0", {{CTL, 0x76}, {CNT, 0x6C}}, std::nullopt, std::nullopt, 0, 0,
         "ignored: counter 0 not programmed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench<KvrSupBoard> b;
        for (const Write& w : c.writes) b.out(w.port, w.value);
        const auto& t = b.board->timer();
        EXPECT_EQ(t.count, c.count);
        EXPECT_EQ(t.count_loads, c.loads);
        EXPECT_EQ(t.mode, c.mode);
        const auto khz = b.board->frequency_khz();
        ASSERT_EQ(khz.has_value(), c.khz.has_value());
        if (khz) {
            EXPECT_DOUBLE_EQ(*khz, *c.khz);
        }
        EXPECT_TRUE(has(b.bus.trace().back().note, c.last_note)) << b.bus.trace().back().note;
    }
}

TEST(benchKvrSupTimer, FlagsControlWordsForOtherCounters) {
    for (uint8_t word : {uint8_t{0x76}, uint8_t{0xB6}, uint8_t{0xC2}}) {
        Bench<KvrSupBoard> b;
        const PortAccess a = b.out(KvrSupBoard::TMRCTL, word);
        EXPECT_TRUE(a.flagged) << std::hex << int{word};
        EXPECT_FALSE(b.board->timer().programmed);
    }
    Bench<KvrSupBoard> b;
    EXPECT_FALSE(b.out(KvrSupBoard::TMRCTL, 0x36).flagged);
    EXPECT_FALSE(b.out(KvrSupBoard::TMRCTL, 0x00).flagged);  // latch
    EXPECT_FALSE(b.out(KvrSupBoard::TMR0, 0x6C).flagged);
}

}  // namespace
