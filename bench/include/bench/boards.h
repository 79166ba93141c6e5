// Simulated KVR (base) and KVR-Sup (extended) boards.
//
// Both follow the register maps of the real boards. Inputs are scripted by the test (converter code
// per analog input, digital input bytes); write-only registers remember the last byte written so a
// test can compare board, library shadow and read-back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "bench/portbus.h"

namespace bench {

// KVR base board: ports 0x300..0x304 and 0x310..0x314.
//
// Conversion contract of the real converter, enforced here: after a select code is written to MUXx,
// one read of ADCx must be made and discarded, and the next read gives the selected input's code only
// when it comes at least kSettleNs after that discarded read. The discarded read gives kUnsettled
// with the note "discarded" and is not flagged: it is what the converter requires. Any other read of
// ADCx that cannot give a code (no select yet, a read that comes too early, a select code that
// selects nothing) gives kUnsettled and is flagged with a note. Select codes: 4, 8, 1, 2 select
// inputs 0..3 on MUXA and inputs 4..7 on MUXB; any other code selects nothing. Reads after a good
// read keep giving the code (the settling time recorded is that of the first good read).
class KvrBoard : public Board {
public:
    static constexpr uint16_t MUXA = 0x300, ADCA = 0x301, DAC0 = 0x302, DOUTL = 0x303, DINL = 0x304;
    static constexpr uint16_t MUXB = 0x310, ADCB = 0x311, DAC1 = 0x312, DOUTH = 0x313, DINH = 0x314;
    static constexpr uint64_t kSettleNs = 7000;
    static constexpr uint8_t kUnsettled = 0xA5;

    void set_code(int input, uint8_t code) { codes_.at(input) = code; }      // input 0..7
    void set_din(uint8_t low, uint8_t high) { din_ = {low, high}; }
    // Last byte written; nullopt until the register has been written.
    std::optional<uint8_t> dac(int output) const { return dac_.at(output); }  // 0..1
    std::optional<uint8_t> dout(int half) const { return dout_.at(half); }    // 0 low, 1 high
    // Settling time actually given to the last good conversion of each group (0 = A, 1 = B).
    uint64_t last_settle_ns(int group) const { return group_.at(group).last_settle_ns; }

    const char* name() const override { return "KVR"; }
    const char* register_name(uint16_t port) const override;
    bool readable(uint16_t port) const override;
    bool writable(uint16_t port) const override;
    uint8_t in(uint16_t port, uint64_t ns, std::string& note, bool& flag) override;
    void out(uint16_t port, uint8_t value, uint64_t ns, std::string& note, bool& flag) override;

private:
    struct Group {
        std::optional<int> selected;       // input selected by the last select write
        bool discarded = false;            // the read after the select has been made
        uint64_t discard_ns = 0;
        bool converted = false;            // a good read has been made since the select
        uint64_t last_settle_ns = 0;
    };
    std::array<uint8_t, 8> codes_{};
    std::array<uint8_t, 2> din_{};
    std::array<std::optional<uint8_t>, 2> dac_{};
    std::array<std::optional<uint8_t>, 2> dout_{};
    std::array<Group, 2> group_{};
};

// KVR-Sup extended board: ports 0x300..0x305, and counter 0 (0x30C) and the control port (0x30F) of an
// 8253/8254-type interval timer clocked at 8300 kHz. The converter needs no settling time: a read of
// ADCA gives the code of the input selected by the last MUXA write (kUnsettled, flagged, before any
// valid select). MUXA takes the same select codes as the KVR's group A (4, 8, 1, 2 -> inputs 0..3).
// Counter read-back is not modelled: TMR0 and TMRCTL are write-only here.
class KvrSupBoard : public Board {
public:
    static constexpr uint16_t MUXA = 0x300, ADCA = 0x301, DAC0 = 0x302, DOUTL = 0x303, DINL = 0x304;
    static constexpr uint16_t DAC1 = 0x305, TMR0 = 0x30C, TMRCTL = 0x30F;
    static constexpr uint8_t kUnsettled = 0xA5;
    static constexpr uint32_t kTimerClockKhz = 8300;

    void set_code(int input, uint8_t code) { codes_.at(input) = code; }      // input 0..3
    void set_din(uint8_t low) { din_ = low; }
    std::optional<uint8_t> dac(int output) const { return dac_.at(output); }  // 0..1
    std::optional<uint8_t> dout() const { return dout_; }

    // Counter 0 of the timer. The power-up state is unprogrammed: count bytes written before the
    // first control word that sets a read/write mode are ignored (and noted in the trace). A control
    // word with read/write bits 00 is the latch command: it changes neither mode nor byte order.
    struct Timer {
        bool programmed = false;
        uint8_t rw = 0;            // 1 LSB only, 2 MSB only, 3 LSB then MSB
        uint8_t mode = 0;          // 0..5
        bool bcd = false;
        bool next_is_msb = false;  // byte toggle for rw == 3
        uint8_t pending_lsb = 0;
        // Last complete count loaded since the last control word (0 stays 0 here). A control word
        // stops the counter until a new count is complete, so it clears this.
        std::optional<uint32_t> count;
        int count_loads = 0;
    };
    const Timer& timer() const { return timer_; }
    // Square-wave frequency generated by counter 0 in kHz: 8300 / count, a count of 0 meaning 65536;
    // nullopt while no complete count has been loaded in mode 3 (or mode 2, a rate generator).
    std::optional<double> frequency_khz() const;

    const char* name() const override { return "KVR-Sup"; }
    const char* register_name(uint16_t port) const override;
    bool readable(uint16_t port) const override;
    bool writable(uint16_t port) const override;
    uint8_t in(uint16_t port, uint64_t ns, std::string& note, bool& flag) override;
    void out(uint16_t port, uint8_t value, uint64_t ns, std::string& note, bool& flag) override;

private:
    std::array<uint8_t, 4> codes_{};
    uint8_t din_ = 0;
    std::optional<int> selected_;
    std::array<std::optional<uint8_t>, 2> dac_{};
    std::optional<uint8_t> dout_;
    Timer timer_;
};

}  // namespace bench
