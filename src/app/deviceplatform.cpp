#include "app/deviceplatform.h"

#include "protocol/sim/simulatorsetup.h"

bool setUpDevicePlatform(QString *error)
{
    // A second call must not plug the devices a second time.
    static bool done = false;
    if (done)
        return true;
    if (!setUpSimulatorFromEnvironment(error))
        return false;
    done = true;
    return true;
}
