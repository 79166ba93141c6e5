#include "checks.h"

#include "errors.h"
#include "trace.h"

namespace kvrbench {

void Checks::note(const Bench& b, const CallRecord& r)
{
    const std::string what = show_call(r.call);
    if (!r.outcome.fault.empty()) throw Failure(what + " faulted: " + r.outcome.fault);
    ++calls_;
    for (const std::string& v : r.outcome.violations) problems_.push_back(what + ": " + v);
    note_accesses(b, r.trace_from, r.trace_to, what);
}

void Checks::note_accesses(const Bench& b, size_t from, size_t to, const std::string& during)
{
    const auto& t = b.m().bus().trace();
    for (size_t k = from; k < to && k < t.size(); ++k) {
        ++accesses_;
        if (t[k].flagged) problems_.push_back(during + ": " + trace_line(t[k], b.board(), std::nullopt));
    }
}

void Checks::print(std::ostream& out, const std::string& indent) const
{
    const auto count = [](size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    out << indent << "checks: " << count(calls_, "call", "calls") << " in their own conventions, "
        << count(accesses_, "port access", "port accesses") << ": "
        << (problems_.empty() ? "no breach, none flagged" : count(problems_.size(), "problem", "problems")) << '\n';
    for (const std::string& p : problems_) out << indent << "  ! " << p << '\n';
}

}  // namespace kvrbench
