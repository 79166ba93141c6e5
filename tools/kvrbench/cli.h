// The command line: which command, with which options. Everything is checked here, before any DLL
// is loaded, so that a mistake costs no start-up; mistakes throw UsageError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "boardsetup.h"
#include "callsyntax.h"

namespace kvrbench {

inline constexpr uint64_t kDefaultMhz = 400;
inline constexpr uint16_t kDefaultFpcw = 0x037F;  // the x87 control word after FNINIT

struct SurveyOptions {
    std::string dlls = ".";
    uint64_t mhz = kDefaultMhz;
};

struct RunOptions {
    std::string dll;
    std::optional<BoardKind> board;                // --board; else from the file name
    std::vector<std::pair<int, uint8_t>> codes;     // --code IN=CODE
    std::vector<std::pair<int, double>> volts;      // --volts IN=V, turned into codes on the board's scale
    std::vector<uint8_t> din;                       // --din BYTE or LOW,HIGH
    uint64_t mhz = kDefaultMhz;
    uint16_t fpcw = kDefaultFpcw;
    std::string vcd, svg;                           // output files; empty: none
    std::vector<Call> calls;
};

struct FiguresOptions {
    std::string dlls = ".";
    std::vector<uint64_t> mhz = {33, 400, 3000};
};

struct AdaptersOptions {
    std::string dlls = ".";
};

struct HelpRequest {};

using Command = std::variant<SurveyOptions, RunOptions, FiguresOptions, AdaptersOptions, HelpRequest>;

// `args` are the words after the program name.
Command parse_command_line(std::span<const std::string> args);

std::string usage();

}  // namespace kvrbench
