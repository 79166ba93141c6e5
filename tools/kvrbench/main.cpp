// kvrbench: the real kvrio.dll and kvrextio.dll on the virtual bench. See `kvrbench help`.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "commands.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    kvrbench::Io io{std::cout, std::cerr, isatty(STDOUT_FILENO) == 1};
    return kvrbench::kvrbench_main(args, io);
}
