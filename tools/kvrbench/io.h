// Where a command writes: its report, its error messages, and whether the report goes to a
// terminal (a progress line then updates in place with \r; otherwise it is written as plain lines).
#pragma once

#include <ostream>

namespace kvrbench {

struct Io {
    std::ostream& out;
    std::ostream& err;
    bool tty = false;
};

}  // namespace kvrbench
