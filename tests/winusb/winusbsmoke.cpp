// Links the WinUSB host into a Windows program, so the compile check also
// finds a call that SetupAPI or WinUSB does not export. Run on Windows, it
// lists the present device interfaces of the device's interface GUID.

#include "usb/devicechangemessage.h"
#include "usb/deviceinterfaceguid.h"
#include "usb/host/winusb/winusbhost.h"

#include <cstdio>

int main()
{
    static_assert(isDeviceTreeChange(0x0219, 0x0007), "WM_DEVICECHANGE with DBT_DEVNODES_CHANGED");
    WinUsbHost host;
    std::vector<std::u16string> paths;
    const bool complete = host.listInterfacePaths(DEVICE_INTERFACE_GUID, paths);
    std::printf("%s: %u device interfaces\n", complete ? "complete" : "incomplete", unsigned(paths.size()));
    for (const std::u16string &path : paths) {
        UsbFileHandle file = UsbFileHandle::Invalid;
        UsbOpenError error = UsbOpenError::None;
        if (host.openFile(path, file, error))
            std::printf("  opened, %s\n", host.isAttached(file) ? "attached" : "not attached");
        else
            std::printf("  not opened (%d)\n", int(error));
        if (file != UsbFileHandle::Invalid)
            host.closeFile(file);
    }
    return complete ? 0 : 1;
}
