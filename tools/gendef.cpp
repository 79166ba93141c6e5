// Writes a library's module-definition (.def) file from the one export table: every name
// undecorated, with its ordinal. (The kit's decorated definition for import libraries is genkit's.)
//
//   kvr_gendef LIBRARY out.def
#include <cstdio>
#include <fstream>

#include "common/exports.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LIBRARY out.def\n", argv[0]);
        return 2;
    }
    std::ofstream out(argv[2]);
    out << "LIBRARY " << argv[1] << ".dll\nEXPORTS\n";
    for (const kvr::Export& e : kvr::kExports) out << "    " << e.name << " @" << e.ordinal << '\n';
    return out.good() ? 0 : 1;
}
