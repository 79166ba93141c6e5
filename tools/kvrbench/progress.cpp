#include "progress.h"

#include "text.h"

namespace kvrbench {

namespace {
constexpr uint64_t kTtyStepNs = 50'000'000;     // a terminal line is redrawn every 50 ms virtual
constexpr uint64_t kPlainStepNs = 250'000'000;  // a plain line every quarter second virtual
constexpr double kNsPerS = 1e9;
}  // namespace

void ProgressLine::update(uint64_t virtual_ns)
{
    const uint64_t step = io_.tty ? kTtyStepNs : kPlainStepNs;
    if (next_ns_ == 0) next_ns_ = step;  // nothing for the first instants
    if (virtual_ns < next_ns_) return;
    next_ns_ = (virtual_ns / step + 1) * step;
    const std::string line = strf("%s %.2f s of virtual time", label_.c_str(), virtual_ns / kNsPerS);
    if (io_.tty)
        io_.out << '\r' << line << std::flush;
    else
        io_.out << line << '\n' << std::flush;
    shown_ = true;
}

void ProgressLine::finish()
{
    if (shown_ && io_.tty) io_.out << "\r\x1b[K" << std::flush;  // clear the line for what follows
    shown_ = false;
}

}  // namespace kvrbench
