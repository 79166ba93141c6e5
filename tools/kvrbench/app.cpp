// The tool as a function: command line in, report and exit code out. main() only hands it the
// process's streams, so that tests run it in-process as well as as a program.
#include <sstream>
#include <variant>

#include "bench/machine.h"
#include "bench/pe.h"
#include "commands.h"
#include "errors.h"

namespace kvrbench {

namespace {
template <class... F> struct Overload : F... {
    using F::operator()...;
};
template <class... F> Overload(F...) -> Overload<F...>;
}  // namespace

int kvrbench_main(std::span<const std::string> args, Io& io)
{
    try {
        const Command command = parse_command_line(args);
        return std::visit(Overload{[&](const SurveyOptions& o) { return survey(o, io); },
                                   [&](const RunOptions& o) { return run(o, io); },
                                   [&](const FiguresOptions& o) { return figures(o, io); },
                                   [&](const AdaptersOptions& o) { return adapters(o, io); },
                                   [&](const HelpRequest&) {
                                       io.out << usage();
                                       return kExitOk;
                                   }},
                          command);
    } catch (const UsageError& e) {
        io.out.flush();
        io.err << "kvrbench: " << e.what() << '\n';
        return kExitUsage;
    } catch (const std::exception& e) {  // Failure, and the bench's BenchError and PeError
        io.out.flush();
        io.err << "kvrbench: " << e.what() << '\n';
        return kExitFailure;
    }
}

}  // namespace kvrbench
