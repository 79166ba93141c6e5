// kvrbench adapters: for every export of both libraries, the instructions its adapter adds to the
// core operation it reaches: the instructions of a call of the export minus those of a direct call
// of the core operation (the register-family export of the same name) with the same arguments.
#include <filesystem>
#include <map>

#include "commands.h"
#include "errors.h"
#include "exportcall.h"
#include "session.h"
#include "table.h"
#include "text.h"

namespace kvrbench {

namespace {

// The arguments every core operation is measured with: channel 1 (valid on both boards for every
// operation), and for the two-argument operations a valid second argument.
constexpr double kChannel = 1;
const std::map<std::string, double> kSecondArgument = {{"sa", 100}, {"sad", 2.0}, {"sb", 1}};

std::string arg_text(char kind, double v)
{
    switch (kind) {
    case 'i':
    case 'h': return std::to_string(static_cast<int>(v));
    default: return g17(v);  // d, s and p (the pointed-to double)
    }
}

// The call of `e` with the arguments its core operation is measured with, converted to e's types.
Call measuring_call(const kvr::Export& e)
{
    std::string text = std::string(e.name) + "(";
    for (size_t k = 0; e.args[k]; ++k) {
        const double v = k == 0 ? kChannel : kSecondArgument.at(e.core);
        text += (k ? ", " : "") + arg_text(e.args[k], v);
    }
    return parse_call(text + ")");
}

uint64_t instructions(Bench& b, const kvr::Export& e)
{
    const CallRecord r = perform(b, measuring_call(e));
    if (!r.outcome.fault.empty()) throw Failure(std::string(e.name) + " faulted: " + r.outcome.fault);
    if (!r.outcome.violations.empty())
        throw Failure(std::string(e.name) + " broke its convention: " + r.outcome.violations.front());
    return r.outcome.insns;
}

// Instructions added by each export's adapter, in table order.
std::vector<long long> added_instructions(BoardKind kind, const std::string& dlls, Io& io)
{
    Bench b = make_bench(kind, kDefaultMhz);
    apply_inputs(b, default_inputs(kind));
    load_dll(b, (std::filesystem::path(dlls) / (std::string(facts(kind).lib) + ".dll")).string(), io);
    std::vector<long long> added;
    for (const kvr::Export& e : kvr::kExports) {
        const kvr::Export& core = *kvrtools::find_export(e.core);
        // The core first, then the adapter, so that both meet the same state of the library.
        const uint64_t direct = instructions(b, core);
        const uint64_t through = instructions(b, e);
        added.push_back(static_cast<long long>(through) - static_cast<long long>(direct));
    }
    return added;
}

std::string signed_count(long long n) { return n > 0 ? "+" + std::to_string(n) : std::to_string(n); }

}  // namespace

int adapters(const AdaptersOptions& o, Io& io)
{
    const std::vector<long long> base = added_instructions(BoardKind::Kvr, o.dlls, io);
    const std::vector<long long> extended = added_instructions(BoardKind::KvrSup, o.dlls, io);
    io.out << "Instructions each export adds to its core operation (a call of the export minus a direct call of\n"
              "the core with the same arguments: channel 1; sa 100, sad 2.0 V, sb 1; doubles where the family\n"
              "takes doubles)\n";
    Table t({{"export"}, {"ordinal", Table::Right}, {"family"}, {"core"}, {"kvrio", Table::Right},
             {"kvrextio", Table::Right}});
    for (size_t k = 0; k < kvr::kExportCount; ++k) {
        const kvr::Export& e = kvr::kExports[k];
        t.add({e.name, std::to_string(e.ordinal), kvr::family_name(e.family), e.core, signed_count(base[k]),
               signed_count(extended[k])});
    }
    t.print(io.out, "  ");
    return kExitOk;
}

}  // namespace kvrbench
