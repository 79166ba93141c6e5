// kvrbench: runs the real DLL files on the virtual bench.
//
//   kvrbench survey  [--dlls DIR]   load both libraries on their simulated boards and read every input
//   kvrbench figures [--dlls DIR]   load time, settling wait and cost of ea at 33 MHz, 400 MHz, 3 GHz
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/boards.h"
#include "bench/machine.h"

namespace {

using namespace bench;

struct Options {
    std::string dlls = ".";
    std::vector<uint64_t> mhz = {33, 400, 3000};
};

std::string fmt_us(uint64_t ns)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", static_cast<double>(ns) / 1000.0);
    return b;
}

void print_trace(const PortBus& bus, size_t from = 0)
{
    const auto& t = bus.trace();
    for (size_t i = from; i < t.size(); ++i) std::printf("    %s\n", describe(t[i], bus.board()).c_str());
}

CallOutcome call(Machine& m, const char* name, std::vector<Arg> args, Result r, uint32_t removed = 0)
{
    const auto a = m.export_address(name);
    if (!a) throw BenchError(std::string("the library does not export ") + name);
    CallOutcome o = m.call(*a, Conv::Register, args, r, removed);
    if (!o.fault.empty()) throw BenchError(std::string(name) + ": " + o.fault);
    for (const auto& v : o.violations) std::printf("    ! %s: %s\n", name, v.c_str());
    return o;
}

void load_with_progress(Machine& m, const std::string& path)
{
    std::printf("loading %s\n", path.c_str());
    uint64_t shown = 0;
    m.load(path, [&](uint64_t ns) {
        if (ns / 100'000'000 != shown) {
            shown = ns / 100'000'000;
            std::printf("\r  start-up: %5.2f s of virtual time", static_cast<double>(ns) / 1e9);
            std::fflush(stdout);
        }
    });
    std::printf("\r  start-up done at %.6f s of virtual time, %llu instructions\n",
                static_cast<double>(m.clock().ns()) / 1e9, static_cast<unsigned long long>(m.total_insns()));
}

void survey_inputs(Machine& m, int inputs)
{
    std::printf("  %-8s %-6s %-22s %s\n", "input", "ea", "ead (V)", "settling");
    for (int ch = 0; ch < inputs; ++ch) {
        const int code = call(m, "ea", {i32(ch)}, Result::Int).i32();
        const double volts = call(m, "ead", {i32(ch)}, Result::Float).f64();
        std::printf("  %-8d %-6d %-22.17g\n", ch, code, volts);
    }
}

int survey(const Options& o)
{
    {
        auto board = std::make_shared<KvrBoard>();
        for (int i = 0; i < 8; ++i) board->set_code(i, static_cast<uint8_t>(i * 36));
        Machine m;
        m.attach(board);
        std::printf("== KVR base board, kvrio.dll ==\n");
        load_with_progress(m, o.dlls + "/kvrio.dll");
        std::printf("  port writes at load:\n");
        print_trace(m.bus());
        m.bus().clear_trace();
        survey_inputs(m, 8);
        std::printf("  one conversion, ea(5), on the bus:\n");
        m.bus().clear_trace();
        call(m, "ea", {i32(5)}, Result::Int);
        print_trace(m.bus());
        std::printf("  settling wait given: %s us\n\n", fmt_us(board->last_settle_ns(1)).c_str());
    }
    {
        auto board = std::make_shared<KvrSupBoard>();
        const uint8_t codes[4] = {0, 255, 123, 200};
        for (int i = 0; i < 4; ++i) board->set_code(i, codes[i]);
        Machine m;
        m.attach(board);
        std::printf("== KVR-Sup extended board, kvrextio.dll ==\n");
        load_with_progress(m, o.dlls + "/kvrextio.dll");
        std::printf("  port writes at load:\n");
        print_trace(m.bus());
        m.bus().clear_trace();
        survey_inputs(m, 4);
    }
    return 0;
}

int figures(const Options& o)
{
    std::printf("%-10s %-16s %-16s %-14s %s\n", "CPU", "load (virtual s)", "settling (us)", "insns per ea",
                "load (real s)");
    for (uint64_t mhz : o.mhz) {
        const uint64_t hz = mhz * 1'000'000;
        MachineConfig cfg;
        cfg.clock.cpu_hz = hz;
        Machine m(cfg);
        auto board = std::make_shared<KvrBoard>();
        m.attach(board);
        const auto t0 = std::chrono::steady_clock::now();
        m.load(o.dlls + "/kvrio.dll");
        const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double load_s = static_cast<double>(m.clock().ns()) / 1e9;
        const CallOutcome r = call(m, "ea", {i32(2)}, Result::Int);
        std::printf("%-10s %-16.6f %-16s %-14llu %.2f\n", (std::to_string(hz / 1'000'000) + " MHz").c_str(),
                    load_s, fmt_us(board->last_settle_ns(0)).c_str(), static_cast<unsigned long long>(r.insns),
                    real);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvrbench survey|figures [--dlls DIR]\n");
        return 2;
    }
    Options o;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dlls") == 0 && i + 1 < argc) {
            o.dlls = argv[++i];
        } else if (std::strcmp(argv[i], "--mhz") == 0 && i + 1 < argc) {
            o.mhz.clear();
            for (const char* p = argv[++i]; *p;) {
                char* end;
                o.mhz.push_back(std::strtoull(p, &end, 10));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p) break;
            }
        } else {
            std::fprintf(stderr, "kvrbench: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    try {
        if (std::strcmp(argv[1], "survey") == 0) return survey(o);
        if (std::strcmp(argv[1], "figures") == 0) return figures(o);
        std::fprintf(stderr, "kvrbench: unknown command %s\n", argv[1]);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvrbench: %s\n", e.what());
        return 1;
    }
}
