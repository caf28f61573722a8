#pragma once

// A simulated USB bus that stands in for the platform host: any number of
// scriptable devices that can be plugged, unplugged and replugged, refuse to
// be opened, fail or short-change any call on demand, and a log of every
// host call with its arguments and answers. Free of Qt.
//
// Threads: every public operation may be called from any thread at any time.
// Models and change listeners are called without the bus's lock held.

#include "usb/host/sim/simcall.h"
#include "usb/host/sim/simdevicemodel.h"
#include "usb/host/sim/simdeviceprofile.h"
#include "usb/host/usbchangelisteners.h"
#include "usb/host/usbhost.h"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

// A fault armed on the bus: which calls it hits and what happens to them.
struct SimFault
{
    enum class Action {
        Fail, // the call fails and moves nothing
        MoveFewer, // the call goes ahead but moves at most `bytes` bytes
        Unplug, // the device the call reaches drops off the bus, then the call fails
    };

    SimOp op = SimOp::OpenFile;
    Action action = Action::Fail;
    int nth = 1; // the nth matching call from now on is the first one hit
    int count = 1; // matching calls hit in a row from there; negative: all later ones
    uint32_t bytes = 0;
    int device = -1; // only calls that reach this device; -1: any
    int descriptorType = -1; // GetDescriptor only: only this type; -1: any
};

class SimUsbBus : public UsbHost
{
public:
    using DeviceId = int;

    SimUsbBus();
    ~SimUsbBus() override;

    // Puts a device on the bus and raises a change notification. Each device
    // gets its own id and keeps its path for life, also across unplugging.
    DeviceId plug(SimDeviceProfile profile);
    // Takes the device off the bus: it leaves the enumeration and every
    // handle opened on it stops working (releasing such a handle still works).
    bool unplug(DeviceId device);
    // Unplug, then plug again under the same path as a new device instance,
    // optionally with a changed profile (its path is ignored; without a model
    // of its own it keeps the old one). Two change notifications.
    bool replug(DeviceId device);
    bool replug(DeviceId device, SimDeviceProfile profile);
    bool isPlugged(DeviceId device) const;
    std::u16string path(DeviceId device) const;
    // Another program holds the device open, so opening it fails.
    void setHeldElsewhere(DeviceId device, bool held);
    // The user lacks permission on the device, so opening it is refused.
    void setAccessDenied(DeviceId device, bool denied);

    void injectFault(const SimFault &fault);
    void clearFaults();
    // A transfer whose device has left the bus, before or during the call,
    // waits out UsbHost::transferTimeoutMs before it fails, as on a host that
    // learns of a removal only from the time-out; by default it fails at once.
    // Change notifications are not held up by the wait.
    void setGoneDeviceTransfersWait(bool wait);

    // The most recent calls, oldest first; the log keeps at most
    // callLogLimit entries so that long retry loops cannot exhaust memory.
    std::vector<SimCall> calls() const;
    void clearCalls();
    // Calls of one operation since the last clearCalls, however many the log kept.
    std::size_t callCount(SimOp op) const;
    void setCallLogLimit(std::size_t entries);

    // Files opened and not closed; interface handles issued and not freed.
    int openFileCount() const;
    int liveInterfaceHandleCount() const;
    // Calls made with a handle this bus never issued or that was already
    // released: each one is a fault of the caller.
    int invalidHandleUses() const;

    // Called after every plug and unplug, and by raiseChangeNotification.
    // A listener must not call back into the bus.
    int addChangeListener(std::function<void()> listener);
    void removeChangeListener(int listenerId);
    // A notification without a change, as platforms send several per plug.
    void raiseChangeNotification();

    bool listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths) override;
    bool openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error) override;
    bool initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface) override;
    bool freeInterface(UsbInterfaceHandle handle) override;
    bool closeFile(UsbFileHandle file) override;
    bool isAttached(UsbFileHandle file) override;
    bool getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
        uint8_t *buffer, uint32_t length, uint32_t &transferred) override;
    bool getAssociatedInterface(
        UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated) override;
    bool queryInterfaceSettings(
        UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor) override;
    bool queryPipe(UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex,
        UsbPipeInformation &pipe) override;
    bool controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override;
    bool readPipe(UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    bool writePipe(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t &transferred) override;
    // Queues the batches as a platform would, then hands them to the device
    // one writePipe each, oldest first, as the bus would deliver them; a
    // cancelled batch never reaches the device.
    bool writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t batchSize, uint32_t depth, const BatchWritten &written) override;

private:
    struct Device
    {
        SimDeviceProfile profile;
        bool plugged = false;
        bool heldElsewhere = false;
        bool accessDenied = false;
        uint64_t instance = 0; // changes with every plug
    };
    struct OpenFile
    {
        DeviceId device;
        uint64_t instance;
        bool initialized;
    };
    struct InterfaceHandleState
    {
        DeviceId device;
        uint64_t instance;
        std::uintptr_t file;
        std::size_t interfaceIndex; // into the device's profile.interfaces
    };
    struct ArmedFault
    {
        SimFault fault;
        int seen;
    };
    struct Hit
    {
        bool fail = false;
        bool unplugged = false;
        uint32_t byteLimit = UINT32_MAX;
    };
    // One call's log entry and whether the call took a device off the bus.
    struct Call
    {
        Call(SimOp op, std::uintptr_t handle)
        {
            entry.op = op;
            entry.handle = handle;
        }
        SimCall entry;
        bool unplugged = false;
    };

    // Where a transfer goes: the model that answers it, or none when the
    // call fails before it reaches the device.
    struct Routed
    {
        std::shared_ptr<SimDeviceModel> model;
        DeviceId device = -1;
        uint8_t interfaceNumber = 0;
        uint32_t byteLimit = UINT32_MAX;
    };

    void setDeviceFlag(DeviceId device, bool Device::*flag, bool value);
    DeviceId plugLocked(SimDeviceProfile profile, DeviceId device);
    bool unplugLocked(DeviceId device);
    Hit takeFault(SimOp op, DeviceId device, int descriptorType);
    // The state of an issued, unreleased interface handle, or null (and one
    // more invalid use) for any other value.
    const InterfaceHandleState *reachInterface(std::uintptr_t handle, Call &call);
    // The handle's device instance is still on the bus and its file open.
    bool isReachable(const InterfaceHandleState &state) const;
    // For a transfer on a pipe (pipeId >= 0) the pipe must exist with direction in.
    Routed route(Call &call, int pipeId, bool in);
    // Logs the call, then, outside the lock, tells listeners if it unplugged a
    // device; a transfer to a gone device first waits if the bus says so.
    bool finish(Call &call);
    // The interface handle's device instance has left the bus.
    bool isGoneLocked(std::uintptr_t handle) const;
    void record(SimCall call);
    void notifyListeners();

    mutable std::mutex m_mutex; // guards every member below up to m_changeListeners
    std::map<DeviceId, Device> m_devices;
    std::map<std::uintptr_t, OpenFile> m_files;
    std::map<std::uintptr_t, InterfaceHandleState> m_interfaceHandles;
    std::deque<ArmedFault> m_faults;
    std::deque<SimCall> m_calls;
    std::array<std::size_t, 13> m_callCounts {};
    std::size_t m_callLogLimit = 10000;
    int m_invalidHandleUses = 0;
    bool m_goneDeviceTransfersWait = false;
    DeviceId m_nextDevice = 1;
    uint64_t m_nextInstance = 1;
    std::uintptr_t m_nextHandle = 1;
    const std::shared_ptr<SimDeviceModel> m_defaultModel = std::make_shared<SimDeviceModel>();

    UsbChangeListeners m_changeListeners;
};

// The bus the program runs on when TALVEX_SIMULATOR is set; demos and tools
// put their devices on it. Created empty on first use.
std::shared_ptr<SimUsbBus> simulatorBus();
