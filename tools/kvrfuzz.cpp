// kvrfuzz: the fuzzer of both libraries on the virtual bench, for as many calls as asked.
//
//   kvrfuzz [--dlls DIR] [--calls N] [--seed S] [--lib kvrio|kvrextio] [--mhz M] [--readback-rate R]
//           [--keep K]
//
// Makes N random calls of the exports of each library (both unless --lib names one), checks each
// against a model of the library (see tests/fuzz_support.h) and prints the calls made, the calls per
// export and every kind of finding. The exit code is 1 when anything was found, 2 on a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: kvrfuzz [--dlls DIR] [--calls N] [--seed S] [--lib kvrio|kvrextio] [--mhz M] "
                 "[--readback-rate R] [--keep K]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    kvrfuzz::FuzzOptions base;
    base.dll_dir = ".";
    base.calls = 100000;
    std::vector<kvrfuzz::Lib> libs = {kvrfuzz::Lib::Kvrio, kvrfuzz::Lib::Kvrextio};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const char* v = argv[++i];
        if (a == "--dlls") base.dll_dir = v;
        else if (a == "--calls") base.calls = std::strtoull(v, nullptr, 10);
        else if (a == "--seed") base.seed = std::strtoull(v, nullptr, 10);
        else if (a == "--mhz") base.cpu_hz = std::strtoull(v, nullptr, 10) * 1'000'000;
        else if (a == "--readback-rate") base.readback_rate = std::strtod(v, nullptr);
        else if (a == "--keep") base.keep = std::strtoull(v, nullptr, 10);
        else if (a == "--lib" && std::strcmp(v, "kvrio") == 0) libs = {kvrfuzz::Lib::Kvrio};
        else if (a == "--lib" && std::strcmp(v, "kvrextio") == 0) libs = {kvrfuzz::Lib::Kvrextio};
        else return usage();
    }

    uint64_t findings = 0;
    for (kvrfuzz::Lib lib : libs) {
        kvrfuzz::FuzzOptions opt = base;
        opt.lib = lib;
        std::printf("== %s: %llu calls, seed %llu, %llu MHz ==\n", kvrfuzz::lib_name(lib),
                    static_cast<unsigned long long>(opt.calls), static_cast<unsigned long long>(opt.seed),
                    static_cast<unsigned long long>(opt.cpu_hz / 1'000'000));
        std::fflush(stdout);
        const auto t0 = std::chrono::steady_clock::now();
        kvrfuzz::FuzzReport r;
        try {
            r = kvrfuzz::fuzz(opt);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kvrfuzz: %s\n", e.what());
            return 2;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%s", r.summary().c_str());
        std::printf("  calls per export (of which expected to fail):");
        int col = 0;
        for (const auto& [name, n] : r.per_export)
            std::printf("%s%-13s%7llu (%6llu)", col++ % 4 == 0 ? "\n    " : "  ", name.c_str(),
                        static_cast<unsigned long long>(n), static_cast<unsigned long long>(r.failed_per_export.at(name)));
        std::printf("\n  real time %.1f s (%.0f calls/s)\n", s, static_cast<double>(r.calls + r.check_calls) / s);
        findings += r.findings();
    }
    std::printf("%s\n", findings == 0 ? "no findings" : "FINDINGS");
    return findings == 0 ? 0 : 1;
}
