// The fixed-seed fuzz of both libraries: random and boundary arguments for every export, each call
// checked against a model of the library (fuzz_support.h lists what counts as a finding). The same
// fuzzer runs for longer with tools/kvrfuzz.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "fuzz_support.h"

namespace kvrfuzz {
void PrintTo(Lib lib, std::ostream* os) { *os << lib_name(lib); }
}  // namespace kvrfuzz

namespace {

using kvrfuzz::Lib;

class FixedSeedFuzz : public ::testing::TestWithParam<Lib> {};

TEST_P(FixedSeedFuzz, FindsNothing)
{
    kvrfuzz::FuzzOptions opt;
    opt.lib = GetParam();
    opt.dll_dir = KVR_DLL_DIR;
    opt.calls = 50000;
    opt.seed = 20030122;
    const kvrfuzz::FuzzReport r = kvrfuzz::fuzz(opt);
    EXPECT_EQ(r.findings(), 0u) << r.summary();
    // The arguments reached both outcomes of every export: calls that fail and calls that succeed
    // (the identification texts cannot fail).
    for (const auto& [name, n] : r.per_export) {
        const uint64_t failed = r.failed_per_export.at(name);
        EXPECT_GT(n - failed, 0u) << name << " never succeeded";
        if (name.find("titre") == std::string::npos && name.find("detail") == std::string::npos) {
            EXPECT_GT(failed, 0u) << name << " never failed";
        }
    }
    std::printf("%s", r.summary().c_str());
}

INSTANTIATE_TEST_SUITE_P(Libraries, FixedSeedFuzz, ::testing::Values(Lib::Kvrio, Lib::Kvrextio),
                         [](const auto& info) { return std::string(kvrfuzz::lib_name(info.param)); });

}  // namespace
