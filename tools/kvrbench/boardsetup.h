// The two simulated boards as the tool uses them: which board a DLL drives, the scales of their
// inputs and outputs, scripted inputs, and what the board's write-only registers hold.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/boards.h"
#include "bench/machine.h"

namespace kvrbench {

enum class BoardKind : uint8_t { Kvr, KvrSup };

struct BoardFacts {
    const char* name;         // "KVR"
    const char* title;        // "KVR base board"
    const char* lib;          // "kvrio"
    int analog_inputs;
    int analog_outputs;       // including the frequency output of KVR-Sup
    int digital_lines;        // inputs, and as many outputs
};
const BoardFacts& facts(BoardKind kind);

// kvrio -> KVR, kvrextio -> KVR-Sup, from the file's name without folder and extension, in any case.
std::optional<BoardKind> board_from_file_name(std::string_view path);
BoardKind parse_board(std::string_view text);  // "kvr" or "kvrsup"; throws UsageError

// Scripted inputs of the board.
struct Inputs {
    std::map<int, uint8_t> codes;        // analog input -> converter code
    std::vector<uint8_t> din;            // digital input bytes: DINL (and DINH on KVR); empty: all 0
};
// The documented defaults of the survey: KVR input k holds code 36 k (a ramp from 0 to 252),
// KVR-Sup inputs 0..3 hold 0, 255, 123, 200 (both ends of the 0..2.46 V scale, 0 V and +3.0 V on
// the bipolar scale); the digital inputs read 0xA5 (DINL) and 0x3C (DINH).
Inputs default_inputs(BoardKind kind);

// The converter code nearest to `volts` on the scale of one analog input; throws UsageError when
// the input does not exist or the voltage is outside its scale by more than half a step.
uint8_t code_for_volts(BoardKind kind, int input, double volts);
double volts_of_input_code(BoardKind kind, int input, uint8_t code);
std::string input_scale(BoardKind kind, int input);            // "0..2.46 V"
// What a DAC code stands for on each output (KVR 0..9 V; KVR-Sup 0..10 V and -5..+5 V).
double volts_of_dac_code(BoardKind kind, int output, uint8_t code);

// A DLL's machine with its board attached.
struct Bench {
    BoardKind kind;
    std::shared_ptr<bench::KvrBoard> kvr;      // set for KVR
    std::shared_ptr<bench::KvrSupBoard> sup;   // set for KVR-Sup
    std::unique_ptr<bench::Machine> machine;

    bench::Board& board() const;
    bench::Machine& m() const { return *machine; }
};
Bench make_bench(BoardKind kind, uint64_t cpu_mhz);
void apply_inputs(Bench& b, const Inputs& in);   // throws UsageError for inputs the board lacks

// The ports the board decodes, in ascending order (its register map).
std::vector<uint16_t> register_ports(const bench::Board& board);

// What the board's output registers hold now, one (label, description) row each: the DACs with the
// voltage they stand for, the digital output bytes with the lines that are on, and on KVR-Sup the
// timer's mode, count and the frequency it generates.
std::vector<std::pair<std::string, std::string>> board_outputs(const Bench& b);

}  // namespace kvrbench
