// Writes a library's module-definition (.def) file from the one export table.
//
//   kvr_gendef LIBRARY out.def [--decorated] [name,name,...]
//
// Plain form (for linking the DLL): every name undecorated, with its ordinal. --decorated form (for
// building import libraries): stdcall members carry their @bytes suffix, so that stdcall callers can
// link, while the DLL's export name stays undecorated. An optional list restricts the table.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/exports.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY out.def [--decorated] [name,name,...]\n", argv[0]);
        return 2;
    }
    bool decorated = false;
    std::set<std::string> only;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--decorated") == 0) {
            decorated = true;
            continue;
        }
        std::stringstream list(argv[i]);
        for (std::string name; std::getline(list, name, ',');) only.insert(name);
    }
    std::ofstream out(argv[2]);
    out << "LIBRARY " << argv[1] << ".dll\nEXPORTS\n";
    for (const kvr::Export& e : kvr::kExports) {
        if (!only.empty() && !only.count(e.name)) continue;
        out << "    " << e.name;
        if (decorated && kvr::is_stdcall_family(e.family)) out << '@' << kvr::stack_bytes(e);
        out << " @" << e.ordinal << '\n';
    }
    return out.good() ? 0 : 1;
}
