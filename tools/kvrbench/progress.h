// The progress line shown while a library starts up (kvrio calibrates its clock for one virtual
// second). On a terminal one line is rewritten in place; otherwise a plain line is written every
// quarter of a virtual second, so that a log shows progress without a flood of lines.
#pragma once

#include <cstdint>
#include <string>

#include "io.h"

namespace kvrbench {

class ProgressLine {
public:
    ProgressLine(Io& io, std::string label) : io_(io), label_(std::move(label)) {}
    void update(uint64_t virtual_ns);  // the callback of Machine::load
    void finish();                     // ends an in-place line, if one was shown

private:
    Io& io_;
    std::string label_;
    uint64_t next_ns_ = 0;
    bool shown_ = false;
};

}  // namespace kvrbench
