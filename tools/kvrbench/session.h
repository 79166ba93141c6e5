// A DLL loaded on its board, and calls made in it: what each call returned, how long it took and
// which port accesses it made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/machine.h"
#include "boardsetup.h"
#include "callsyntax.h"
#include "io.h"

namespace kvrbench {

struct LoadReport {
    uint64_t ns = 0;          // virtual time the start-up took
    uint64_t insns = 0;
    size_t accesses = 0;      // port accesses of the start-up (the first ones of the trace)
};

// Loads the DLL file into the bench's machine, with a progress line while its start-up runs (unless
// `quiet`). Throws Failure for a missing file, a file that is not a DLL the bench can load (the
// loader's message), and a start-up that reports failure.
LoadReport load_dll(Bench& b, const std::string& path, Io& io, bool quiet = false);

struct CallRecord {
    Call call;
    bench::CallOutcome outcome;
    uint64_t start_ns = 0, end_ns = 0;     // virtual time around the call
    size_t trace_from = 0, trace_to = 0;   // its accesses in the bus trace: [from, to)
    uint32_t arg_pointer = 0;              // the guest address a p argument pointed to (0: none)
};

// Makes the call in its own convention with its typed arguments (a p argument's double is placed in
// guest memory first). Faults and breaches are left in the outcome.
CallRecord perform(Bench& b, const Call& call, const bench::CallOptions& opt = {});
// Parses and performs a call written as on the command line, e.g. "nea(3)"; for the tool's own use.
CallRecord perform(Bench& b, const std::string& call_text);

// The result, decoded: an integer, a double (%.17g), a single, a text (Windows-1252 decoded and
// quoted) or a pointer with the double it points to. "-777" results are marked as the error value.
std::string show_result(const Bench& b, const CallRecord& r);
int32_t int_result(const CallRecord& r);
double double_result(const CallRecord& r);       // a double or a single, widened
std::string text_result(const Bench& b, const CallRecord& r);  // UTF-8

// The call's access span in the bus trace.
std::vector<bench::PortAccess> accesses_of(const Bench& b, const CallRecord& r);

}  // namespace kvrbench
