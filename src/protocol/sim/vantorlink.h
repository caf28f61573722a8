#pragma once

// How a Vantor device leaves the bus and joins it again when it restarts:
// the simulated bus unplugs and replugs it, a USB gadget would unbind and
// rebind its function. Free of Qt.
//
// Threads: called from the thread of the request that restarts the device,
// from the device's own return timer, or from whoever powers it on; one call
// at a time and never with the device's lock held. A link must not call back
// into the device.

#include "protocol/sim/vantorwire.h"

class VantorLink
{
public:
    virtual ~VantorLink() = default;

    // The device drops off the bus; every handle a host holds on it dies.
    virtual void leave() = 0;
    // The device appears on the bus again, presenting itself in mode.
    virtual void arrive(VantorMode mode) = 0;
};
