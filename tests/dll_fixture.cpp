#include "dll_fixture.h"

#include <ostream>
#include <stdexcept>

#include "tools/exportcall.h"

namespace kvrtest {

std::string dll_path(const std::string& lib) { return std::string(KVR_DLL_DIR) + "/" + lib + ".dll"; }
std::string map_path(const std::string& lib) { return std::string(KVR_DLL_DIR) + "/" + lib + ".map"; }

const kvr::Export& export_entry(const std::string& name)
{
    if (const kvr::Export* e = kvrtools::find_export(name)) return *e;
    throw std::invalid_argument("no export named " + name);
}

bench::ClockConfig quick_clock(uint64_t hz)
{
    bench::ClockConfig c;
    c.cpu_hz = hz;
    c.syscall_ns = 100'000;
    return c;
}

namespace {

void expect_clean(const bench::CallOutcome& r, const std::string& what)
{
    EXPECT_EQ(r.fault, "") << what;
    for (const std::string& v : r.violations) ADD_FAILURE() << what << ": " << v;
}

LoadedDll load(const std::string& lib, std::shared_ptr<bench::Board> board, bench::ClockConfig clock)
{
    bench::MachineConfig cfg;
    cfg.clock = clock;
    LoadedDll d{lib, std::make_unique<bench::Machine>(cfg)};
    d.machine->attach(std::move(board));
    d.machine->load(dll_path(lib));
    EXPECT_TRUE(d.machine->attach_succeeded()) << lib;
    return d;
}

}  // namespace

LoadedDll load_kvrio(std::shared_ptr<bench::KvrBoard> board, bench::ClockConfig clock)
{
    return load("kvrio", std::move(board), clock);
}

LoadedDll load_kvrextio(std::shared_ptr<bench::KvrSupBoard> board, bench::ClockConfig clock)
{
    return load("kvrextio", std::move(board), clock);
}

bench::CallOutcome LoadedDll::call(const std::string& name, const std::vector<bench::Arg>& args,
                                   uint16_t fpcw, bool by_ordinal)
{
    bench::CallOptions opt;
    opt.fpcw = fpcw;
    const bench::CallOutcome r = kvrtools::call_export(*machine, export_entry(name), args, opt, by_ordinal);
    expect_clean(r, lib + "!" + name);
    return r;
}

bench::CallOutcome LoadedDll::call_internal(const std::string& sym, const std::vector<bench::Arg>& args,
                                            bench::Result result)
{
    const bench::CallOutcome r =
        machine->call(symbol(sym), bench::Conv::Stdcall, args, result, 0);
    expect_clean(r, lib + " internal " + sym);
    return r;
}

uint32_t LoadedDll::symbol(const std::string& name) const
{
    const auto a = bench::map_symbol(map_path(lib), name);
    if (!a) throw std::runtime_error("no symbol " + name + " in the link map of " + lib);
    return *a - machine->image().image_base + machine->base();
}

std::vector<bench::PortAccess> LoadedDll::take_trace()
{
    std::vector<bench::PortAccess> t = machine->bus().trace();
    machine->bus().clear_trace();
    return t;
}

std::vector<Access> accesses(const std::vector<bench::PortAccess>& trace)
{
    std::vector<Access> v;
    for (const bench::PortAccess& a : trace) v.push_back({a.dir, a.port, a.value});
    return v;
}

std::ostream& operator<<(std::ostream& os, const Access& a)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s 0x%03X 0x%02X", a.dir == bench::Dir::Out ? "out" : "in ", a.port,
                  a.value);
    return os << buf;
}

}  // namespace kvrtest
