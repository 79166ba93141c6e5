// kvrbench survey: both libraries on their boards, every channel with its name and its reading or
// read-back, after a few outputs have been set so that the read-backs show something.
#include <filesystem>
#include <vector>

#include "checks.h"
#include "commands.h"
#include "errors.h"
#include "session.h"
#include "table.h"
#include "text.h"
#include "trace.h"

namespace kvrbench {

namespace {

constexpr double kNsPerS = 1e9;
constexpr int kFrequencyOutput = 2;
const std::string kIndent = "  ";
const std::string kTraceIndent = "    ";
const std::string kTableIndent = "    ";

// Calls on the bench for the survey, every one checked.
struct Caller {
    Bench& b;
    Checks& checks;
    CallRecord call(const std::string& text)
    {
        CallRecord r = perform(b, text);
        checks.note(b, r);
        return r;
    }
    std::string text(const std::string& t) { return text_result(b, call(t)); }
    std::string integer(const std::string& t) { return std::to_string(int_result(call(t))); }
    std::string real(const std::string& t) { return g17(double_result(call(t))); }
};

// The outputs each board's survey sets before reading back, and a call worth seeing on the bus.
struct Plan {
    std::vector<std::string> analog_settings, digital_settings;
    std::string shown_on_bus;
    std::string bus_caption;
};

Plan plan_for(BoardKind kind)
{
    if (kind == BoardKind::Kvr)
        return {{"sa(0, 200)", "sad(1, 4.5)"},
                {"sb(0, 1)", "sb(2, 1)", "sb(5, 1)", "sb(9, 1)", "sb(15, 1)"},
                "ea(5)",
                "a conversion, ea(5): select, discarded read, settling wait, read"};
    return {{"sad(0, 7.5)", "sa(1, 200)", "sad(2, 8)"},
            {"sb(0, 1)", "sb(3, 1)", "sb(6, 1)"},
            "sad(2, 8)",
            "a frequency setting, sad(2, 8): control word, then the count's low and high bytes"};
}

// Makes the calls and lists them: "sa(0, 200), sad(1, 4.5)".
std::string make_settings(Caller& c, const std::vector<std::string>& calls)
{
    std::string list;
    for (const std::string& s : calls) {
        c.call(s);
        list += (list.empty() ? "" : ", ") + s;
    }
    return list;
}

void analog_inputs(Caller& c, std::ostream& out)
{
    const BoardKind kind = c.b.kind;
    Table t({{"input"}, {"nea"}, {"ea", Table::Right}, {"nead"}, {"ead (V)"}, {"scale"}});
    for (int k = 0; k < facts(kind).analog_inputs; ++k)
        t.add({std::to_string(k), c.text(strf("nea(%d)", k)), c.integer(strf("ea(%d)", k)),
               c.text(strf("nead(%d)", k)), c.real(strf("ead(%d)", k)), input_scale(kind, k)});
    t.print(out, kTableIndent);
}

// What the board holds for an analog output: the DAC byte and its voltage, or the timer's frequency.
std::string board_side(const Bench& b, int output)
{
    if (b.sup && output == kFrequencyOutput) {
        const auto f = b.sup->frequency_khz();
        const auto& count = b.sup->timer().count;
        return f ? strf("timer count %u -> %.9g kHz", *count, *f) : "timer: no frequency";
    }
    const std::optional<uint8_t> code = b.kvr ? b.kvr->dac(output) : b.sup->dac(output);
    if (!code) return "never written";
    return strf("DAC%d %s = %.6g V", output, hex_byte(*code).c_str(), volts_of_dac_code(b.kind, output, *code));
}

void analog_outputs(Caller& c, std::ostream& out)
{
    Table t({{"output"}, {"nsa"}, {"rsa", Table::Right}, {"nsad"}, {"rsad"}, {"on the board"}});
    for (int k = 0; k < facts(c.b.kind).analog_outputs; ++k)
        t.add({std::to_string(k), c.text(strf("nsa(%d)", k)), c.integer(strf("rsa(%d)", k)),
               c.text(strf("nsad(%d)", k)), c.real(strf("rsad(%d)", k)), board_side(c.b, k)});
    t.print(out, kTableIndent);
}

void digital_lines(Caller& c, std::ostream& out)
{
    Table t({{"line"}, {"neb"}, {"eb", Table::Right}, {"nsb"}, {"rsb", Table::Right}});
    for (int k = 0; k < facts(c.b.kind).digital_lines; ++k)
        t.add({std::to_string(k), c.text(strf("neb(%d)", k)), c.integer(strf("eb(%d)", k)),
               c.text(strf("nsb(%d)", k)), c.integer(strf("rsb(%d)", k))});
    t.print(out, kTableIndent);
}

std::string din_text(const Inputs& in)
{
    std::string s = "DINL " + hex_byte(in.din.at(0));
    if (in.din.size() > 1) s += ", DINH " + hex_byte(in.din[1]);
    return s;
}

bool survey_board(BoardKind kind, const SurveyOptions& o, Io& io)
{
    std::ostream& out = io.out;
    const BoardFacts& f = facts(kind);
    const std::string path = (std::filesystem::path(o.dlls) / (std::string(f.lib) + ".dll")).string();
    out << "== " << f.title << ", " << f.lib << ".dll ==\n";
    out << kIndent << "file        " << path << '\n';

    Bench b = make_bench(kind, o.mhz);
    const Inputs inputs = default_inputs(kind);
    apply_inputs(b, inputs);
    const LoadReport load = load_dll(b, path, io);
    out << kIndent << "start-up    " << strf("%.6f s of virtual time at %llu MHz, %llu instructions", load.ns / kNsPerS,
                                              static_cast<unsigned long long>(o.mhz),
                                              static_cast<unsigned long long>(load.insns))
        << '\n';

    Checks checks;
    checks.note_accesses(b, 0, load.accesses, "start-up");
    Caller c{b, checks};
    out << kIndent << "titre       " << quote_text(c.text("titre()")) << '\n';
    out << kIndent << "detail      " << quote_text(c.text("detail()")) << '\n';
    out << kIndent << "port writes of the start-up:\n";
    const auto& trace = b.m().bus().trace();
    print_trace(out, std::span(trace.data(), load.accesses), b.board(), kTraceIndent);

    const Plan plan = plan_for(kind);
    std::string codes;
    for (const auto& [input, code] : inputs.codes) codes += (codes.empty() ? "" : ", ") + std::to_string(code);
    out << '\n' << kIndent << "analog inputs, simulated codes " << codes << '\n';
    analog_inputs(c, out);

    out << '\n' << kIndent << "analog outputs, read back after " << make_settings(c, plan.analog_settings) << '\n';
    analog_outputs(c, out);
    if (kind == BoardKind::KvrSup)
        out << kTableIndent << "(rsa reports the last sa of an output and rsad the last sad; this library keeps them apart)\n";

    out << '\n' << kIndent << "digital lines, inputs simulated as " << din_text(inputs) << '\n';
    out << kIndent << "outputs read back after " << make_settings(c, plan.digital_settings) << '\n';
    digital_lines(c, out);

    out << '\n' << kIndent << "on the bus, " << plan.bus_caption << '\n';
    const CallRecord shown = c.call(plan.shown_on_bus);
    print_trace(out, accesses_of(b, shown), b.board(), kTraceIndent);

    out << '\n' << kIndent << "what the board's output registers hold\n";
    for (const auto& [label, text] : board_outputs(b)) out << kTraceIndent << pad_right(label, 7) << text << '\n';
    out << '\n';
    checks.print(out, kIndent);
    return checks.clean();
}

}  // namespace

int survey(const SurveyOptions& o, Io& io)
{
    const bool base_clean = survey_board(BoardKind::Kvr, o, io);
    io.out << '\n';
    const bool extended_clean = survey_board(BoardKind::KvrSup, o, io);
    return base_clean && extended_clean ? kExitOk : kExitBreach;
}

}  // namespace kvrbench
