// The two kinds of failure the tool reports, and the exit codes they map to.
#pragma once

#include <stdexcept>

namespace kvrbench {

// Exit codes, as the usage text documents them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // the bench could not do the job: missing or bad DLL, a fault
inline constexpr int kExitUsage = 2;     // the command line is wrong: option, call syntax, export, argument
inline constexpr int kExitBreach = 3;    // every call ran, but one broke its convention or the bus rules

// A mistake on the command line (exit 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Anything else that stops the job (exit 1). The bench's own BenchError and PeError count as this too.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace kvrbench
