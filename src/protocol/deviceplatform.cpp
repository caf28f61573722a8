#include "protocol/deviceplatform.h"

#include "protocol/sim/simulatorsetup.h"

#include <mutex>

namespace {

std::mutex startMutex; // guards started, and keeps a second start out until the first has plugged
bool started = false;

} // namespace

bool startDevicePlatform(QString *error)
{
    std::lock_guard<std::mutex> lock(startMutex);
    // A second call must not plug the devices a second time.
    if (started)
        return true;
    if (!setUpSimulatorFromEnvironment(error))
        return false;
    started = true;
    return true;
}

UsbPlatform devicePlatform()
{
    QString error;
    if (!startDevicePlatform(&error))
        qWarning("%s", qPrintable(error));
    return createUsbPlatform();
}
