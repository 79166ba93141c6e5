// Loading the real DLL files on the bench and calling their exports at the machine level.
//
// Every call goes through `call`, which takes the convention, the result kind and the stack bytes the
// callee must remove from the one export table, and fails the test on any fault or convention breach
// the bench reports. So every test that calls an export also checks the conventions.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "bench/boards.h"
#include "bench/machine.h"
#include "common/exports.h"

namespace kvrtest {

std::string dll_path(const std::string& lib);  // e.g. "kvrio" -> .../kvrio.dll
std::string map_path(const std::string& lib);

const kvr::Export& export_entry(const std::string& name);

// A clock for tests that are not about the calibration: the tick-counter polling gets cheap, so a
// load of kvrio takes a fraction of a second of real time.
bench::ClockConfig quick_clock(uint64_t hz = 400'000'000);

struct LoadedDll {
    std::string lib;
    std::unique_ptr<bench::Machine> machine;

    // Calls an export by name (or, with by_ordinal, by its ordinal) in its own convention.
    bench::CallOutcome call(const std::string& name, const std::vector<bench::Arg>& args,
                            uint16_t fpcw = 0x037F, bool by_ordinal = false);
    // Calls an internal routine found in the link map, in the C convention (arguments on the stack,
    // removed by the caller).
    bench::CallOutcome call_internal(const std::string& symbol, const std::vector<bench::Arg>& args,
                                     bench::Result result);
    uint32_t symbol(const std::string& name) const;  // rebased address of a link-map symbol

    std::vector<bench::PortAccess> take_trace();  // the trace since the last take, then cleared
    std::string text(const bench::CallOutcome& r) const { return machine->read_cstring(r.eax); }
};

LoadedDll load_kvrio(std::shared_ptr<bench::KvrBoard> board, bench::ClockConfig clock = quick_clock());
LoadedDll load_kvrextio(std::shared_ptr<bench::KvrSupBoard> board,
                        bench::ClockConfig clock = quick_clock());

// Port accesses as compact tuples, for comparing whole traces.
struct Access {
    bench::Dir dir;
    uint16_t port;
    uint8_t value;
    bool operator==(const Access&) const = default;
};
std::vector<Access> accesses(const std::vector<bench::PortAccess>& trace);
inline Access out(uint16_t port, uint8_t value) { return {bench::Dir::Out, port, value}; }
inline Access in(uint16_t port, uint8_t value) { return {bench::Dir::In, port, value}; }
std::ostream& operator<<(std::ostream& os, const Access& a);

}  // namespace kvrtest
