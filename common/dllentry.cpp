// Entry point of both libraries. There is no C runtime: the loader calls this directly.
//
// The start-up runs on the process-attach notification, once, on the loading thread, before the
// load returns to the host. Thread notifications cause no work, and detaching writes nothing to the
// board: the outputs keep their last values.
#include "common/startup.h"

namespace {
constexpr unsigned long DLL_PROCESS_ATTACH = 1;
}

extern "C" __attribute__((stdcall)) int dllentry(void* module, unsigned long reason, void* reserved)
    __asm__("_dllentry");

extern "C" __attribute__((stdcall)) int dllentry(void*, unsigned long reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        kvr::startup();
    }
    return 1;
}
