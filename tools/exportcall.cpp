#include "exportcall.h"

#include <string>

namespace kvrtools {

const kvr::Export* find_export(std::string_view name)
{
    for (const kvr::Export& e : kvr::kExports)
        if (name == e.name) return &e;
    return nullptr;
}

const kvr::Export* find_export_by_ordinal(unsigned ordinal)
{
    for (const kvr::Export& e : kvr::kExports)
        if (e.ordinal == ordinal) return &e;
    return nullptr;
}

bench::Conv convention(kvr::Family family)
{
    return kvr::all_on_stack(family) && family != kvr::Family::Double ? bench::Conv::Stdcall
                                                                       : bench::Conv::Register;
}

bench::Result result_kind(char result)
{
    switch (result) {
    case 'd':
    case 's': return bench::Result::Float;
    case 't': return bench::Result::Text;
    default: return bench::Result::Int;
    }
}

bench::CallOutcome call_export(bench::Machine& m, const kvr::Export& e, std::span<const bench::Arg> args,
                               bench::CallOptions opt, bool by_ordinal)
{
    const auto address = by_ordinal ? m.export_address(e.ordinal) : m.export_address(e.name);
    if (!address)
        throw bench::BenchError(by_ordinal ? "the DLL has no export with ordinal " + std::to_string(e.ordinal)
                                           : std::string("the DLL does not export ") + e.name);
    return m.call(*address, convention(e.family), args, result_kind(e.result), kvr::stack_bytes(e), opt);
}

}  // namespace kvrtools
