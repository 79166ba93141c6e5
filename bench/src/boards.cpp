#include "bench/boards.h"

#include <cstdio>

namespace bench {

namespace {

// Select codes of a converter group: the code's single set bit picks one of four inputs.
std::optional<int> input_of_select_code(uint8_t code) {
    switch (code) {
        case 4: return 0;
        case 8: return 1;
        case 1: return 2;
        case 2: return 3;
        default: return std::nullopt;
    }
}

constexpr int kInputsPerGroup = 4;

std::string format(const char* fmt, unsigned long long a, unsigned long long b = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

// 8254 control word fields.
constexpr unsigned kCtlCounterShift = 6, kCtlRwShift = 4, kCtlModeShift = 1;
constexpr uint8_t kCtlTwoBits = 3, kCtlModeBits = 7, kCtlBcd = 1;
constexpr uint8_t kRwLatch = 0, kRwLsb = 1, kRwMsb = 2, kRwLsbMsb = 3;
constexpr uint8_t kModeRateGenerator = 2, kModeSquareWave = 3;
constexpr uint8_t kModeAliasBit = 4;     // modes 6 and 7 are the same as 2 and 3
constexpr uint32_t kMaxBinaryCount = 65536, kMaxBcdCount = 10000;  // what a count of 0 means

const char* rw_name(uint8_t rw) {
    switch (rw) {
        case kRwLsb: return "LSB only";
        case kRwMsb: return "MSB only";
        default: return "LSB then MSB";
    }
}

// A BCD count's four decimal digits as a number (digits above 9 are taken at face value).
uint32_t bcd_value(uint32_t count) {
    return (count >> 12 & 0xF) * 1000 + (count >> 8 & 0xF) * 100 + (count >> 4 & 0xF) * 10 + (count & 0xF);
}

}  // namespace

// ---- KVR ----------------------------------------------------------------------------------------

const char* KvrBoard::register_name(uint16_t port) const {
    switch (port) {
        case MUXA: return "MUXA";
        case ADCA: return "ADCA";
        case DAC0: return "DAC0";
        case DOUTL: return "DOUTL";
        case DINL: return "DINL";
        case MUXB: return "MUXB";
        case ADCB: return "ADCB";
        case DAC1: return "DAC1";
        case DOUTH: return "DOUTH";
        case DINH: return "DINH";
        default: return nullptr;
    }
}

bool KvrBoard::readable(uint16_t port) const {
    return port == ADCA || port == ADCB || port == DINL || port == DINH;
}

bool KvrBoard::writable(uint16_t port) const {
    return port == MUXA || port == MUXB || port == DAC0 || port == DAC1 || port == DOUTL || port == DOUTH;
}

uint8_t KvrBoard::in(uint16_t port, uint64_t ns, std::string& note, bool& flag) {
    if (port == DINL) return din_[0];
    if (port == DINH) return din_[1];
    if (port != ADCA && port != ADCB) return PortBus::kFloatingBus;  // the bus checks readable() first

    Group& g = group_[port == ADCA ? 0 : 1];
    if (!g.selected) {
        flag = true;
        note = "no input selected";
        return kUnsettled;
    }
    if (!g.discarded) {
        g.discarded = true;
        g.discard_ns = ns;
        note = "discarded";
        return kUnsettled;
    }
    const uint64_t since = ns - g.discard_ns;
    if (!g.converted) {
        if (since < kSettleNs) {
            flag = true;
            note = format("read %llu ns after the discarded read", since);
            return kUnsettled;
        }
        g.converted = true;
        g.last_settle_ns = since;
        note = format("input %llu, settled %llu ns", static_cast<unsigned long long>(*g.selected), since);
    }
    return codes_[*g.selected];
}

void KvrBoard::out(uint16_t port, uint8_t value, uint64_t, std::string& note, bool&) {
    switch (port) {
        case MUXA:
        case MUXB: {
            const int group = port == MUXA ? 0 : 1;
            Group& g = group_[group];
            const uint64_t last_settle_ns = g.last_settle_ns;
            g = Group{};
            g.last_settle_ns = last_settle_ns;
            if (auto input = input_of_select_code(value)) {
                g.selected = *input + group * kInputsPerGroup;
                note = format("select input %llu", static_cast<unsigned long long>(*g.selected));
            } else {
                note = format("select code 0x%02llX selects no input", value);
            }
            break;
        }
        case DAC0: dac_[0] = value; break;
        case DAC1: dac_[1] = value; break;
        case DOUTL: dout_[0] = value; break;
        case DOUTH: dout_[1] = value; break;
        default: break;  // the bus checks writable() first
    }
}

// ---- KVR-Sup ------------------------------------------------------------------------------------

const char* KvrSupBoard::register_name(uint16_t port) const {
    switch (port) {
        case MUXA: return "MUXA";
        case ADCA: return "ADCA";
        case DAC0: return "DAC0";
        case DOUTL: return "DOUTL";
        case DINL: return "DINL";
        case DAC1: return "DAC1";
        case TMR0: return "TMR0";
        case TMRCTL: return "TMRCTL";
        default: return nullptr;
    }
}

bool KvrSupBoard::readable(uint16_t port) const { return port == ADCA || port == DINL; }

bool KvrSupBoard::writable(uint16_t port) const {
    return port == MUXA || port == DAC0 || port == DOUTL || port == DAC1 || port == TMR0 || port == TMRCTL;
}

uint8_t KvrSupBoard::in(uint16_t port, uint64_t, std::string& note, bool& flag) {
    if (port == DINL) return din_;
    if (port != ADCA) return PortBus::kFloatingBus;  // the bus checks readable() first
    if (!selected_) {
        flag = true;
        note = "no input selected";
        return kUnsettled;
    }
    return codes_[*selected_];
}

void KvrSupBoard::out(uint16_t port, uint8_t value, uint64_t, std::string& note, bool& flag) {
    switch (port) {
        case MUXA:
            selected_ = input_of_select_code(value);
            note = selected_ ? format("select input %llu", static_cast<unsigned long long>(*selected_))
                             : format("select code 0x%02llX selects no input", value);
            break;
        case DAC0: dac_[0] = value; break;
        case DAC1: dac_[1] = value; break;
        case DOUTL: dout_ = value; break;
        case TMRCTL: {
            const unsigned counter = value >> kCtlCounterShift;
            const uint8_t rw = value >> kCtlRwShift & kCtlTwoBits;
            if (counter != 0) {
                flag = true;
                note = counter == 3 ? "read-back command; the board uses only counter 0"
                                    : format("control word for counter %llu, which the board does not use", counter);
                break;
            }
            if (rw == kRwLatch) {
                note = timer_.programmed ? "counter 0 latch command" : "counter 0 latch command while unprogrammed";
                break;
            }
            uint8_t mode = value >> kCtlModeShift & kCtlModeBits;
            if (mode >= 6) mode &= ~kModeAliasBit;
            timer_.programmed = true;
            timer_.rw = rw;
            timer_.mode = mode;
            timer_.bcd = value & kCtlBcd;
            timer_.next_is_msb = false;
            timer_.count.reset();
            note = format("counter 0: mode %llu, ", mode) + rw_name(rw) + (timer_.bcd ? ", BCD" : ", binary");
            break;
        }
        case TMR0: {
            if (!timer_.programmed) {
                note = format("count byte 0x%02llX ignored: counter 0 not programmed", value);
                break;
            }
            uint32_t count;
            if (timer_.rw == kRwLsbMsb && !timer_.next_is_msb) {
                timer_.pending_lsb = value;
                timer_.next_is_msb = true;
                note = format("count LSB 0x%02llX", value);
                break;
            }
            if (timer_.rw == kRwLsbMsb) {
                count = timer_.pending_lsb | uint32_t{value} << 8;
                timer_.next_is_msb = false;
            } else {
                count = timer_.rw == kRwLsb ? value : uint32_t{value} << 8;
            }
            timer_.count = count;
            ++timer_.count_loads;
            note = format("count 0x%04llX loaded", count);
            break;
        }
        default: break;  // the bus checks writable() first
    }
}

std::optional<double> KvrSupBoard::frequency_khz() const {
    if (!timer_.count || (timer_.mode != kModeRateGenerator && timer_.mode != kModeSquareWave)) return std::nullopt;
    uint32_t divisor = timer_.bcd ? bcd_value(*timer_.count) : *timer_.count;
    if (divisor == 0) divisor = timer_.bcd ? kMaxBcdCount : kMaxBinaryCount;
    return static_cast<double>(kTimerClockKhz) / divisor;
}

}  // namespace bench
