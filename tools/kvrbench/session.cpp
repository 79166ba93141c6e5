#include "session.h"

#include <filesystem>

#include "cp1252.h"
#include "errors.h"
#include "exportcall.h"
#include "progress.h"
#include "text.h"

namespace kvrbench {

namespace {

constexpr int32_t kErrValue = -777;
constexpr uint32_t kDoubleBytes = 8;

std::string marked(std::string shown, bool is_error_value)
{
    return is_error_value ? shown + "  (the error value)" : shown;
}

}  // namespace

LoadReport load_dll(Bench& b, const std::string& path, Io& io, bool quiet)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw Failure("no such file: " + path);
    if (std::filesystem::is_directory(path, ec)) throw Failure(path + " is a folder, not a DLL file");
    ProgressLine progress(io, std::string("  ") + facts(b.kind).lib + " start-up:");
    try {
        if (quiet)
            b.m().load(path);
        else
            b.m().load(path, [&](uint64_t ns) { progress.update(ns); });
    } catch (const bench::PeError& e) {
        progress.finish();
        const std::string what = e.what();
        // The loader names the file in some messages and not in others.
        throw Failure(what.rfind(path, 0) == 0 ? what : path + ": " + what);
    } catch (const bench::BenchError& e) {
        progress.finish();
        throw Failure(path + ": " + e.what());
    }
    progress.finish();
    if (!b.m().attach_succeeded()) throw Failure(path + ": the start-up (DllMain) reported failure");
    return {b.m().clock().ns(), b.m().total_insns(), b.m().bus().trace().size()};
}

CallRecord perform(Bench& b, const Call& call, const bench::CallOptions& opt)
{
    CallRecord r;
    r.call = call;
    std::vector<bench::Arg> args;
    for (const ArgValue& a : call.args) {
        switch (a.kind) {
        case 'i':
        case 'h': args.push_back(bench::i32(a.i)); break;
        case 'd': args.push_back(bench::f64(a.d)); break;
        case 's': args.push_back(bench::f32(a.s)); break;
        case 'p':
            if (a.null) {
                args.push_back(bench::ptr(0));
            } else {
                r.arg_pointer = b.m().alloc(kDoubleBytes);
                b.m().poke(r.arg_pointer, a.d);
                args.push_back(bench::ptr(r.arg_pointer));
            }
            break;
        default: throw Failure(std::string("unknown argument kind ") + a.kind);
        }
    }
    r.trace_from = b.m().bus().trace().size();
    r.start_ns = b.m().clock().ns();
    try {
        r.outcome = kvrtools::call_export(b.m(), *call.e, args, opt, call.by_ordinal);
    } catch (const bench::BenchError& e) {
        throw Failure(std::string(call.e->name) + ": " + e.what());
    }
    r.end_ns = b.m().clock().ns();
    r.trace_to = b.m().bus().trace().size();
    return r;
}

CallRecord perform(Bench& b, const std::string& call_text) { return perform(b, parse_call(call_text)); }

int32_t int_result(const CallRecord& r) { return r.outcome.i32(); }

double double_result(const CallRecord& r)
{
    return r.call.e->result == 's' ? static_cast<double>(r.outcome.f32()) : r.outcome.f64();
}

std::string text_result(const Bench& b, const CallRecord& r)
{
    return cp1252_to_utf8(b.m().read_cstring(r.outcome.eax));
}

std::string show_result(const Bench& b, const CallRecord& r)
{
    try {
        switch (r.call.e->result) {
        case 'i': return marked(std::to_string(r.outcome.i32()), r.outcome.i32() == kErrValue);
        case 'd': {
            const double v = r.outcome.f64();
            return marked(g17(v) + "  (double)", v == kErrValue);
        }
        case 's': {
            const float v = r.outcome.f32();
            return marked(strf("%.9g  (single)", static_cast<double>(v)), v == kErrValue);
        }
        case 't': return quote_text(text_result(b, r)) + "  (text)";
        case 'p': {
            if (r.outcome.eax == 0) return "null pointer";
            const double v = b.m().peek<double>(r.outcome.eax);
            return marked(strf("pointer 0x%08X -> ", r.outcome.eax) + g17(v), v == kErrValue);
        }
        default: return "?";
        }
    } catch (const bench::BenchError& e) {
        return std::string("unreadable: ") + e.what();  // e.g. ST(0) not exactly a double
    }
}

std::vector<bench::PortAccess> accesses_of(const Bench& b, const CallRecord& r)
{
    const auto& t = b.m().bus().trace();
    return {t.begin() + static_cast<std::ptrdiff_t>(r.trace_from), t.begin() + static_cast<std::ptrdiff_t>(r.trace_to)};
}

}  // namespace kvrbench
