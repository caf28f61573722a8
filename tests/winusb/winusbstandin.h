#pragma once

// Stands in for the SetupAPI, WinUSB, CreateFileW and CloseHandle calls that
// WinUsbHost makes: linked into a test, its definitions take the place of the
// system's, so the real host code runs (under Wine too, whose WinUSB reaches
// no device) against the devices of a simulated bus. Device paths are the
// bus's own (\\?\usb#...); any other path or handle goes on to the system.
//
// A call fails when the bus fails it, or when the test arms a Win32 error for
// that function by name; the failure sets that error (ERROR_GEN_FAILURE when
// none was armed, ERROR_BAD_COMMAND once the device has gone, as WinUSB does).

#include "usb/host/sim/simusbbus.h"

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct WinUsbStandIn
{
    std::shared_ptr<SimUsbBus> bus;
    // Function name -> the Win32 error its next calls fail with (removed on use
    // when failCount reaches zero; negative: every call).
    struct Armed
    {
        DWORD error;
        int count;
    };
    std::map<std::string, Armed> armed;
    // What each stand-in call was asked, one line per call: "CreateFileW c0000000 0 3 40000080".
    std::vector<std::string> log;
    // The most overlapped writes queued at once.
    std::size_t mostInFlight = 0;
    std::mutex mutex; // guards armed, log and mostInFlight; the bus guards itself

    void arm(const std::string &function, DWORD error, int count = 1)
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed[function] = Armed {error, count};
    }
    std::vector<std::string> takeLog()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::move(log);
    }
};

// The one stand-in the substituted functions answer from.
WinUsbStandIn &winUsbStandIn();
