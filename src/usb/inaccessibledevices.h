#pragma once

// The present devices that this user may not open (a missing permission), so
// that the window and the command line can say what to do instead of
// "No device connected!".

#include "usb/devicepathlist.h"

class InaccessibleDevices : public DevicePathList
{
    Q_OBJECT

public:
    using DevicePathList::DevicePathList;
};
