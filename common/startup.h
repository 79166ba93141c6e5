// Each library's start-up, run once by the shared entry point when a process loads the library.
#pragma once

namespace kvr {
void startup();
}
