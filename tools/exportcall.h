// Calling an export of the real DLL files on the bench by its row of the one export table.
//
// The table (common/exports.h) decides everything a machine-level call needs: the convention, where
// the result comes back and how many argument bytes the callee must remove. kvrbench and the tests
// both call through here, so they cannot disagree about a family's convention.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "bench/machine.h"
#include "common/exports.h"

namespace kvrtools {

// The table row of an exported name or ordinal; nullptr when the table has none.
const kvr::Export* find_export(std::string_view name);
const kvr::Export* find_export_by_ordinal(unsigned ordinal);

// The machine-level convention of a family. The double family is the register convention with every
// argument a double, so all of them travel on the stack, first argument pushed first.
bench::Conv convention(kvr::Family family);

// Where the result comes back: singles and doubles in ST(0), integers, texts and pointers in EAX.
bench::Result result_kind(char result);


// Calls `e` in the machine by name (or by its ordinal), in its own convention, expecting the stack
// bytes the table gives. Throws bench::BenchError when the loaded DLL does not export it; faults and
// convention breaches are left in the outcome for the caller to judge.
bench::CallOutcome call_export(bench::Machine& m, const kvr::Export& e, std::span<const bench::Arg> args,
                               bench::CallOptions opt = {}, bool by_ordinal = false);

}  // namespace kvrtools
