// kvrbench run: one DLL on its board, calls given on the command line, each shown with its result,
// the stack bytes it removed, convention breaches, and its port accesses; the VCD and SVG files.
#include <fstream>

#include "checks.h"
#include "commands.h"
#include "errors.h"
#include "exportcall.h"
#include "session.h"
#include "svg.h"
#include "text.h"
#include "trace.h"
#include "vcd.h"

namespace kvrbench {

namespace {

constexpr double kNsPerS = 1e9;
const std::string kIndent = "  ";
const std::string kTraceIndent = "    ";
constexpr size_t kLabelWidth = 10;

std::string label(const char* text) { return kIndent + pad_right(text, kLabelWidth); }

BoardKind board_of(const RunOptions& o)
{
    if (o.board) return *o.board;
    if (const auto kind = board_from_file_name(o.dll)) return *kind;
    throw UsageError("cannot tell the board from the file name " + o.dll + "; give --board kvr or --board kvrsup");
}

Inputs inputs_of(const RunOptions& o, BoardKind kind, std::ostream& out)
{
    Inputs in;
    for (const auto& [input, code] : o.codes) in.codes[input] = code;
    for (const auto& [input, volts] : o.volts) {
        const uint8_t code = code_for_volts(kind, input, volts);
        in.codes[input] = code;
        out << label("volts") << strf("input %d: %.9g V -> code %u (%.9g V)", input, volts, code,
                                      volts_of_input_code(kind, input, code))
            << '\n';
    }
    in.din = o.din;
    return in;
}

// The simulated inputs as set: codes of every analog input (0 unless set) and the digital bytes.
std::string inputs_text(BoardKind kind, const Inputs& in)
{
    std::string s = "analog codes";
    for (int k = 0; k < facts(kind).analog_inputs; ++k) {
        const auto it = in.codes.find(k);
        s += strf("%s %u", k ? "," : "", it == in.codes.end() ? 0u : it->second);
    }
    s += " (input 0 first); DINL " + hex_byte(in.din.empty() ? 0 : in.din[0]);
    if (kind == BoardKind::Kvr) s += ", DINH " + hex_byte(in.din.size() > 1 ? in.din[1] : 0);
    return s;
}

void write_file(const std::string& path, const std::string& content, const char* what, std::ostream& out)
{
    std::ofstream f(path, std::ios::binary);
    if (!f) throw Failure("cannot write the " + std::string(what) + " file " + path);
    f << content;
    f.close();
    if (!f) throw Failure("cannot write the " + std::string(what) + " file " + path);
    out << "wrote " << what << " file " << path << '\n';
}

void show_call_record(const Bench& b, const CallRecord& r, std::ostream& out)
{
    const kvr::Export& e = *r.call.e;
    const bool stdcall = kvrtools::convention(e.family) == bench::Conv::Stdcall;
    out << show_call(r.call)
        << strf("    [ordinal %u, %s family, %s]", e.ordinal, kvr::family_name(e.family),
                stdcall ? "stdcall" : "register convention")
        << '\n';
    if (!r.outcome.fault.empty()) {
        out << label("fault") << r.outcome.fault << '\n';
    } else {
        out << label("result") << show_result(b, r) << '\n';
        if (r.arg_pointer)
            out << label("argument") << strf("the double at 0x%08X now holds ", r.arg_pointer)
                << g17(b.m().peek<double>(r.arg_pointer)) << '\n';
    }
    out << label("stack") << strf("%u bytes removed (the export table says %u)", r.outcome.stack_removed,
                                  kvr::stack_bytes(e))
        << '\n';
    out << label("cost") << strf("%llu instructions, ", static_cast<unsigned long long>(r.outcome.insns))
        << us_from_ns(r.end_ns - r.start_ns) << " us of virtual time\n";
    for (const std::string& v : r.outcome.violations) out << label("breach") << v << '\n';
    const size_t n = r.trace_to - r.trace_from;
    out << label("bus") << (n == 0 ? "no port access" : n == 1 ? "1 port access" : strf("%zu port accesses", n))
        << '\n';
    if (n) print_trace(out, accesses_of(b, r), b.board(), kTraceIndent);
}

}  // namespace

int run(const RunOptions& o, Io& io)
{
    std::ostream& out = io.out;
    const BoardKind kind = board_of(o);
    const BoardFacts& f = facts(kind);
    out << "== " << o.dll << " on the " << f.title << strf(", %llu MHz ==", static_cast<unsigned long long>(o.mhz))
        << '\n';
    Bench b = make_bench(kind, o.mhz);
    const Inputs inputs = inputs_of(o, kind, out);
    apply_inputs(b, inputs);
    out << label("inputs") << inputs_text(kind, inputs) << '\n';

    const LoadReport load = load_dll(b, o.dll, io);
    out << label("start-up") << strf("%.6f s of virtual time, %llu instructions", load.ns / kNsPerS,
                                     static_cast<unsigned long long>(load.insns))
        << '\n';
    const auto& trace = b.m().bus().trace();
    print_trace(out, std::span(trace.data(), load.accesses), b.board(), kTraceIndent);

    Checks checks;
    checks.note_accesses(b, 0, load.accesses, "start-up");
    std::vector<CallRecord> records;
    bench::CallOptions opt;
    opt.fpcw = o.fpcw;
    bool faulted = false;
    for (const Call& call : o.calls) {
        out << '\n';
        records.push_back(perform(b, call, opt));
        show_call_record(b, records.back(), out);
        if (!records.back().outcome.fault.empty()) {
            faulted = true;  // the machine's state is not to be trusted after a fault
            break;
        }
        checks.note(b, records.back());
    }

    out << '\n' << "what the board's output registers hold\n";
    for (const auto& [name, text] : board_outputs(b)) out << kIndent << pad_right(name, 7) << text << '\n';
    if (!faulted) {
        out << '\n';
        checks.print(out, "");
    }
    if (!o.vcd.empty()) {
        const std::string title = o.dll + " on the " + f.title + strf(", %llu MHz", static_cast<unsigned long long>(o.mhz));
        write_file(o.vcd, vcd_document(b.m().bus().trace(), b.board(), title), "VCD", out);
    }
    if (!o.svg.empty()) write_file(o.svg, svg_document(b, o.dll, records), "SVG", out);
    if (faulted) throw Failure(show_call(records.back().call) + " faulted: " + records.back().outcome.fault);
    return checks.clean() ? kExitOk : kExitBreach;
}

}  // namespace kvrbench
