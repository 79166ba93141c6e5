#include "cli.h"

#include "errors.h"
#include "text.h"

namespace kvrbench {

namespace {

constexpr int64_t kMinMhz = 1, kMaxMhz = 100'000;
constexpr int64_t kMaxByte = 255, kMaxWord = 0xFFFF;

// Walks the words of one command: options with their values (as "--opt VALUE" or "--opt=VALUE")
// and positional words.
class Words {
public:
    Words(std::span<const std::string> w, std::string command) : w_(w), command_(std::move(command)) {}
    bool done() const { return i_ >= w_.size(); }
    // The next word; for an option written --opt=VALUE, the option part, the value being kept.
    std::string next()
    {
        std::string word = w_[i_++];
        pending_.reset();
        if (word.rfind("--", 0) == 0) {
            if (const size_t eq = word.find('='); eq != std::string::npos) {
                pending_ = word.substr(eq + 1);
                word.resize(eq);
            }
        }
        return word;
    }
    std::string value(const std::string& option)
    {
        if (pending_) {
            std::string v = *pending_;
            pending_.reset();
            return v;
        }
        if (done()) throw UsageError(option + " needs a value");
        return w_[i_++];
    }
    void no_value(const std::string& option) const
    {
        if (pending_) throw UsageError(option + " takes no value");
    }
    [[noreturn]] void unknown(const std::string& word) const
    {
        throw UsageError("unknown option " + word + " for '" + command_ + "' (see kvrbench help)");
    }

private:
    std::span<const std::string> w_;
    std::string command_;
    size_t i_ = 0;
    std::optional<std::string> pending_;
};

bool is_option(const std::string& w) { return w.rfind("--", 0) == 0; }

int64_t integer_in(const std::string& text, const std::string& what, int64_t lo, int64_t hi)
{
    const int64_t v = parse_integer(text, what);
    if (v < lo || v > hi) throw UsageError(strf("%s must be from %lld to %lld, got %s", what.c_str(),
                                                static_cast<long long>(lo), static_cast<long long>(hi), text.c_str()));
    return v;
}

uint64_t mhz_value(const std::string& text) { return integer_in(text, "--mhz", kMinMhz, kMaxMhz); }

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = s.find(sep, from);
        parts.push_back(s.substr(from, at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

// "IN=VALUE" of --code and --volts.
std::pair<int, std::string> assignment(const std::string& option, const std::string& text)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos) throw UsageError(option + " takes INPUT=VALUE, e.g. " + option + " 2=1.2; got '" + text + "'");
    const int input = static_cast<int>(integer_in(text.substr(0, eq), option + " input", 0, kMaxByte));
    return {input, text.substr(eq + 1)};
}

SurveyOptions parse_survey(Words& w)
{
    SurveyOptions o;
    while (!w.done()) {
        const std::string word = w.next();
        if (word == "--dlls") o.dlls = w.value(word);
        else if (word == "--mhz") o.mhz = mhz_value(w.value(word));
        else w.unknown(word);
    }
    return o;
}

FiguresOptions parse_figures(Words& w)
{
    FiguresOptions o;
    while (!w.done()) {
        const std::string word = w.next();
        if (word == "--dlls") {
            o.dlls = w.value(word);
        } else if (word == "--mhz") {
            o.mhz.clear();
            for (const std::string& part : split(w.value(word), ',')) o.mhz.push_back(mhz_value(part));
        } else {
            w.unknown(word);
        }
    }
    return o;
}

AdaptersOptions parse_adapters(Words& w)
{
    AdaptersOptions o;
    while (!w.done()) {
        const std::string word = w.next();
        if (word == "--dlls") o.dlls = w.value(word);
        else w.unknown(word);
    }
    return o;
}

RunOptions parse_run(Words& w)
{
    RunOptions o;
    std::vector<std::string> positional;
    while (!w.done()) {
        const std::string word = w.next();
        if (!is_option(word)) {
            positional.push_back(word);
        } else if (word == "--board") {
            o.board = parse_board(w.value(word));
        } else if (word == "--code") {
            const auto [input, text] = assignment(word, w.value(word));
            o.codes.emplace_back(input, static_cast<uint8_t>(integer_in(text, "--code value", 0, kMaxByte)));
        } else if (word == "--volts") {
            const auto [input, text] = assignment(word, w.value(word));
            o.volts.emplace_back(input, parse_double(text, "--volts value"));
        } else if (word == "--din") {
            o.din.clear();
            const std::vector<std::string> parts = split(w.value(word), ',');
            if (parts.size() > 2) throw UsageError("--din takes BYTE or LOW,HIGH");
            for (const std::string& part : parts)
                o.din.push_back(static_cast<uint8_t>(integer_in(part, "--din byte", 0, kMaxByte)));
        } else if (word == "--mhz") {
            o.mhz = mhz_value(w.value(word));
        } else if (word == "--fpcw") {
            o.fpcw = static_cast<uint16_t>(integer_in(w.value(word), "--fpcw", 0, kMaxWord));
        } else if (word == "--vcd") {
            o.vcd = w.value(word);
        } else if (word == "--svg") {
            o.svg = w.value(word);
        } else {
            w.unknown(word);
        }
    }
    if (positional.empty()) throw UsageError("run needs a DLL file: kvrbench run DLL [options] CALL...");
    o.dll = positional.front();
    for (size_t k = 1; k < positional.size(); ++k) o.calls.push_back(parse_call(positional[k]));
    return o;
}

}  // namespace

Command parse_command_line(std::span<const std::string> args)
{
    if (args.empty()) throw UsageError("no command given (see kvrbench help)");
    const std::string& command = args.front();
    Words w(args.subspan(1), command);
    if (command == "survey") return parse_survey(w);
    if (command == "run") return parse_run(w);
    if (command == "figures") return parse_figures(w);
    if (command == "adapters") return parse_adapters(w);
    if (command == "help" || command == "--help" || command == "-h") return HelpRequest{};
    throw UsageError("unknown command '" + command + "' (commands: survey, run, figures, adapters, help)");
}

std::string usage()
{
    return R"(kvrbench: the real kvrio.dll and kvrextio.dll on the virtual bench, a simulated PC with the board.

  kvrbench survey [--dlls DIR] [--mhz N]
      Loads both libraries on their boards and shows every channel: its name, its reading or
      read-back, after setting a few outputs; then the titles and the port writes of the start-up.
      Simulated inputs: KVR input k holds code 36 k, KVR-Sup inputs 0..3 hold 0, 255, 123, 200;
      digital inputs 0xA5 (DINL) and 0x3C (DINH).

  kvrbench run DLL [options] CALL...
      Loads DLL on its board (kvrio -> KVR, kvrextio -> KVR-Sup), makes the calls in their own
      conventions and shows each result, the stack bytes removed, convention breaches, the port
      accesses with virtual time, and at the end what the board's outputs hold.
      CALL       NAME(ARG, ...) or #ORDINAL(ARG, ...), e.g. 'ead(2)' 'stdsad(0, 4.5)' '#27(5)' 'titre()'
                 integers decimal or 0x hex; doubles and singles also nan, inf, -inf, -0;
                 a pointer argument is a number placed in guest memory, or null
      --board kvr|kvrsup   the board, when the file name does not tell
      --code IN=CODE       converter code of an analog input (0..255)
      --volts IN=V         the same, the nearest code on that input's scale
      --din BYTE | LOW,HIGH  digital input bytes (KVR: DINL,DINH)
      --mhz N              CPU clock of the simulated PC (default 400)
      --fpcw HEX           the host's x87 control word for the calls (default 0x037F)
      --vcd FILE           the whole port trace as a VCD file (GTKWave)
      --svg FILE           a timing diagram of the calls' port accesses

  kvrbench figures [--dlls DIR] [--mhz LIST]
      kvrio's load time, settling wait and instructions per ea at each clock (default 33,400,3000).

  kvrbench adapters [--dlls DIR]
      For every export of both libraries, the instructions its adapter adds to its core operation.

  --dlls DIR is the folder holding kvrio.dll and kvrextio.dll (default: the current folder).
  Exit codes: 0 done; 1 the job failed (missing or bad DLL, a call faulted); 2 wrong command line
  (option, call syntax, unknown export, argument count or type); 3 a call broke its calling
  convention or made a flagged port access.
)";
}

}  // namespace kvrbench
