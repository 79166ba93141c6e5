// kvrbench figures: what kvrio's timing costs at a few CPU clocks: the start-up (the one-second
// calibration), the settling wait a conversion gives, and the instructions of one ea.
#include <chrono>
#include <filesystem>

#include "commands.h"
#include "errors.h"
#include "session.h"
#include "table.h"
#include "text.h"

namespace kvrbench {

namespace {
constexpr double kNsPerS = 1e9;
constexpr int kGroupB = 1;   // ea(5) converts on MUXB/ADCB
}  // namespace

int figures(const FiguresOptions& o, Io& io)
{
    const std::string path = (std::filesystem::path(o.dlls) / "kvrio.dll").string();
    io.out << "kvrio.dll on the KVR base board at " << o.mhz.size() << " CPU clocks (" << path << ")\n";
    Table t({{"CPU"},
             {"start-up (virtual s)", Table::Right},
             {"settling wait (us)", Table::Right},
             {"instructions per ea", Table::Right},
             {"start-up (real s)", Table::Right}});
    for (const uint64_t mhz : o.mhz) {
        Bench b = make_bench(BoardKind::Kvr, mhz);
        const auto t0 = std::chrono::steady_clock::now();
        const LoadReport load = load_dll(b, path, io, true);
        const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const CallRecord r = perform(b, "ea(5)");
        if (!r.outcome.fault.empty()) throw Failure("ea(5) faulted: " + r.outcome.fault);
        t.add({strf("%llu MHz", static_cast<unsigned long long>(mhz)), strf("%.6f", load.ns / kNsPerS),
               us_from_ns(b.kvr->last_settle_ns(kGroupB)), std::to_string(r.outcome.insns), strf("%.2f", real)});
    }
    t.print(io.out, "  ");
    io.out << "  The settling wait is the time from the discarded read to the read of the code; the\n"
              "  converter needs 7 us. Instructions per ea include the wait's loop, so they grow with the clock.\n";
    return kExitOk;
}

}  // namespace kvrbench
