// The tool's commands. Each writes its report to io.out and returns the exit code (errors.h);
// failures are thrown (UsageError, Failure, bench::BenchError) and reported by the caller.
#pragma once

#include <span>
#include <string>

#include "cli.h"
#include "io.h"

namespace kvrbench {

int survey(const SurveyOptions& o, Io& io);
int run(const RunOptions& o, Io& io);
int figures(const FiguresOptions& o, Io& io);
int adapters(const AdaptersOptions& o, Io& io);

// The whole tool: parses `args` (the words after the program name), runs the command and turns
// failures into a message on io.err ("kvrbench: ...") and an exit code.
int kvrbench_main(std::span<const std::string> args, Io& io);

}  // namespace kvrbench
