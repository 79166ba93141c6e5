// What the bench found wrong while a command made its calls: convention breaches reported by the
// machine, and port accesses the board flagged. A command prints the summary at the end.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "session.h"

namespace kvrbench {

class Checks {
public:
    // Records a call's breaches and flagged accesses; throws Failure if the call faulted.
    void note(const Bench& b, const CallRecord& r);
    void note_accesses(const Bench& b, size_t from, size_t to, const std::string& during);
    bool clean() const { return problems_.empty(); }
    // "checks: 57 calls in their own conventions, no breach; 40 port accesses, none flagged"
    void print(std::ostream& out, const std::string& indent) const;

private:
    size_t calls_ = 0, accesses_ = 0;
    std::vector<std::string> problems_;
};

}  // namespace kvrbench
