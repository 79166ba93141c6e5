#include "boardsetup.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "errors.h"
#include "text.h"

namespace kvrbench {

namespace {

constexpr BoardFacts kKvr{"KVR", "KVR base board", "kvrio", 8, 2, 16};
constexpr BoardFacts kKvrSup{"KVR-Sup", "KVR-Sup extended board", "kvrextio", 4, 3, 8};

constexpr double kMaxCode = 255.0;
// Analog inputs: 0..2.46 V on every KVR input and on KVR-Sup inputs 0 and 1.
constexpr double kUnipolarFullScale = 2.46;
// KVR-Sup inputs 2 and 3: code 123 at 0 V, 5/128 V a step.
constexpr int kBipolarFirstInput = 2;
constexpr double kBipolarZeroCode = 123.0, kBipolarVoltsPerStep = 5.0 / 128.0;
// Analog outputs: KVR 0..9 V on both; KVR-Sup output 0 0..10 V, output 1 -5..+5 V.
constexpr double kKvrDacFullScale = 9.0, kSupDacSpan = 10.0, kSupDac1Offset = -5.0;

constexpr uint8_t kDefaultDinLow = 0xA5, kDefaultDinHigh = 0x3C;
constexpr int kKvrRampStep = 36;
constexpr uint8_t kSupDefaultCodes[] = {0, 255, 123, 200};

constexpr uint32_t kLastPort = 0xFFFF;
constexpr uint64_t kHzPerMhz = 1'000'000;
constexpr uint32_t kFullCount = 65536;  // what a binary count of 0 means

bool bipolar(BoardKind kind, int input) { return kind == BoardKind::KvrSup && input >= kBipolarFirstInput; }

void check_input(BoardKind kind, int input)
{
    const int n = facts(kind).analog_inputs;
    if (input < 0 || input >= n)
        throw UsageError(strf("the %s has analog inputs 0 to %d, not %d", facts(kind).name, n - 1, input));
}

std::string lines_on(uint8_t byte, int first_line)
{
    std::string s;
    for (int bit = 0; bit < 8; ++bit)
        if (byte >> bit & 1) s += (s.empty() ? "" : ", ") + std::to_string(first_line + bit);
    return s.empty() ? "all lines off" : "lines " + s + " on";
}

std::string dac_row(BoardKind kind, int output, std::optional<uint8_t> code)
{
    if (!code) return "never written";
    return strf("%s (%3u)  = %.6g V", hex_byte(*code).c_str(), *code, volts_of_dac_code(kind, output, *code));
}

std::string dout_row(std::optional<uint8_t> byte, int first_line)
{
    if (!byte) return "never written";
    return hex_byte(*byte) + "  " + binary_byte(*byte) + "  " + lines_on(*byte, first_line);
}

const char* rw_text(uint8_t rw)
{
    switch (rw) {
    case 1: return "LSB only";
    case 2: return "MSB only";
    default: return "LSB then MSB";
    }
}

std::string timer_row(const bench::KvrSupBoard& sup)
{
    const bench::KvrSupBoard::Timer& t = sup.timer();
    if (!t.programmed) return "counter 0 not programmed";
    std::string s = strf("counter 0 mode %u, %s, %s", t.mode, rw_text(t.rw), t.bcd ? "BCD" : "binary");
    if (!t.count) return s + "; no count loaded";
    s += strf("; count %u (0x%04X)", *t.count == 0 && !t.bcd ? kFullCount : *t.count, *t.count);
    if (const auto f = sup.frequency_khz()) s += strf(" -> %.9g kHz", *f);
    return s;
}

}  // namespace

const BoardFacts& facts(BoardKind kind) { return kind == BoardKind::Kvr ? kKvr : kKvrSup; }

std::optional<BoardKind> board_from_file_name(std::string_view path)
{
    std::string stem = std::filesystem::path(path).stem().string();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::tolower(c); });
    if (stem == kKvr.lib) return BoardKind::Kvr;
    if (stem == kKvrSup.lib) return BoardKind::KvrSup;
    return std::nullopt;
}

BoardKind parse_board(std::string_view text)
{
    if (text == "kvr") return BoardKind::Kvr;
    if (text == "kvrsup") return BoardKind::KvrSup;
    throw UsageError("--board takes kvr or kvrsup, not '" + std::string(text) + "'");
}

Inputs default_inputs(BoardKind kind)
{
    Inputs in;
    if (kind == BoardKind::Kvr) {
        for (int k = 0; k < kKvr.analog_inputs; ++k) in.codes[k] = static_cast<uint8_t>(kKvrRampStep * k);
        in.din = {kDefaultDinLow, kDefaultDinHigh};
    } else {
        for (int k = 0; k < kKvrSup.analog_inputs; ++k) in.codes[k] = kSupDefaultCodes[k];
        in.din = {kDefaultDinLow};
    }
    return in;
}

double volts_of_input_code(BoardKind kind, int input, uint8_t code)
{
    if (bipolar(kind, input)) return (code - kBipolarZeroCode) * kBipolarVoltsPerStep;
    return code * kUnipolarFullScale / kMaxCode;
}

std::string input_scale(BoardKind kind, int input)
{
    return strf("%.9g..%.9g V", volts_of_input_code(kind, input, 0), volts_of_input_code(kind, input, 255));
}

uint8_t code_for_volts(BoardKind kind, int input, double volts)
{
    check_input(kind, input);
    const double code = bipolar(kind, input) ? kBipolarZeroCode + volts / kBipolarVoltsPerStep
                                             : volts * kMaxCode / kUnipolarFullScale;
    const double nearest = std::nearbyint(code);
    if (!(nearest >= 0 && nearest <= kMaxCode))
        throw UsageError(strf("%.9g V is outside the scale of input %d of the %s (%s)", volts, input,
                              facts(kind).name, input_scale(kind, input).c_str()));
    return static_cast<uint8_t>(nearest);
}

double volts_of_dac_code(BoardKind kind, int output, uint8_t code)
{
    if (kind == BoardKind::Kvr) return kKvrDacFullScale * code / kMaxCode;
    return kSupDacSpan * code / kMaxCode + (output == 1 ? kSupDac1Offset : 0.0);
}

bench::Board& Bench::board() const
{
    if (kvr) return *kvr;
    return *sup;
}

Bench make_bench(BoardKind kind, uint64_t cpu_mhz)
{
    bench::MachineConfig cfg;
    cfg.clock.cpu_hz = cpu_mhz * kHzPerMhz;
    Bench b{kind, nullptr, nullptr, std::make_unique<bench::Machine>(cfg)};
    if (kind == BoardKind::Kvr) {
        b.kvr = std::make_shared<bench::KvrBoard>();
        b.machine->attach(b.kvr);
    } else {
        b.sup = std::make_shared<bench::KvrSupBoard>();
        b.machine->attach(b.sup);
    }
    return b;
}

void apply_inputs(Bench& b, const Inputs& in)
{
    for (const auto& [input, code] : in.codes) {
        check_input(b.kind, input);
        if (b.kvr)
            b.kvr->set_code(input, code);
        else
            b.sup->set_code(input, code);
    }
    if (in.din.empty()) return;
    if (b.kvr) {
        b.kvr->set_din(in.din[0], in.din.size() > 1 ? in.din[1] : 0);
    } else {
        if (in.din.size() > 1) throw UsageError("the KVR-Sup has one digital input byte: --din BYTE");
        b.sup->set_din(in.din[0]);
    }
}

std::vector<uint16_t> register_ports(const bench::Board& board)
{
    std::vector<uint16_t> ports;
    for (uint32_t p = 0; p <= kLastPort; ++p)
        if (board.register_name(static_cast<uint16_t>(p))) ports.push_back(static_cast<uint16_t>(p));
    return ports;
}

std::vector<std::pair<std::string, std::string>> board_outputs(const Bench& b)
{
    std::vector<std::pair<std::string, std::string>> rows;
    if (b.kvr) {
        rows.emplace_back("DAC0", dac_row(b.kind, 0, b.kvr->dac(0)));
        rows.emplace_back("DAC1", dac_row(b.kind, 1, b.kvr->dac(1)));
        rows.emplace_back("DOUTL", dout_row(b.kvr->dout(0), 0));
        rows.emplace_back("DOUTH", dout_row(b.kvr->dout(1), 8));
    } else {
        rows.emplace_back("DAC0", dac_row(b.kind, 0, b.sup->dac(0)));
        rows.emplace_back("DAC1", dac_row(b.kind, 1, b.sup->dac(1)));
        rows.emplace_back("DOUTL", dout_row(b.sup->dout(), 0));
        rows.emplace_back("timer", timer_row(*b.sup));
    }
    return rows;
}

}  // namespace kvrbench
