// Library start-up: runs once, on the loading thread, before the load returns to the host.
#include "common/startup.h"
#include "kvrio/delay.h"
#include "kvrio/regmap.h"
#include "kvrio/uchrono.h"

namespace kvr::kvrio {

namespace {

// Zero to the four output registers, in this order. The shadows start at zero as static data, so
// shadows and board agree from here on. Nothing is read.
void resetoutputs()
{
    portout(DAC0, 0);
    portout(DOUTL, 0);
    portout(DOUTH, 0);
    portout(DAC1, 0);
}

}  // namespace

}  // namespace kvr::kvrio

// The clock is calibrated before anything else; the wait loop is calibrated on that clock.
void kvr::startup()
{
    uchrono::calibrate();
    kvrio::resetoutputs();
    delay::calibrate();
}

