// Library start-up: zero to the output registers, once, when a process loads the library. This board
// has no clock calibration and no wait loop.
#include "common/startup.h"
#include "kvrextio/regmap.h"

namespace kvr::kvrextio {

namespace {

// One zero byte each, in this order. No control word goes to the timer first: the byte reaching
// TMR0 is taken in whatever byte order counter 0 was left in. Nothing is read.
void resetoutputs()
{
    portout(DAC0, 0);
    portout(DOUTL, 0);
    portout(DAC1, 0);
    portout(TMR0, 0);
}

}  // namespace

}  // namespace kvr::kvrextio

void kvr::startup()
{
    kvrextio::resetoutputs();
}
