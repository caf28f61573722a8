#include "usb/host/sim/simusbbus.h"

#include <algorithm>
#include <cstdio>

namespace {

// A device's path is what the program shows as its port. On Windows it is an
// interface path, as SetupAPI lists them and as the WinUSB host (and its
// stand-in in the tests) opens them; elsewhere a short name, as libusb's port
// paths are (usb:3-1.4), that says the port is simulated.
std::u16string generatedPath([[maybe_unused]] const SimDeviceProfile &profile, int device)
{
    char text[160];
#ifdef _WIN32
    const UsbGuid &g = profile.interfaceGuid;
    std::snprintf(text, sizeof text,
        "\\\\?\\usb#vid_%04x&pid_%04x#sim%d#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
        profile.vendorId, profile.productId, device, unsigned(g.data1), g.data2, g.data3, g.data4[0],
        g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
#else
    std::snprintf(text, sizeof text, "sim:%d", device);
#endif
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

} // namespace

SimUsbBus::SimUsbBus() = default;
SimUsbBus::~SimUsbBus() = default;

SimUsbBus::DeviceId SimUsbBus::plug(SimDeviceProfile profile)
{
    DeviceId device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        device = plugLocked(std::move(profile), m_nextDevice++);
    }
    notifyListeners();
    return device;
}

bool SimUsbBus::unplug(DeviceId device)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!unplugLocked(device))
            return false;
    }
    notifyListeners();
    return true;
}

bool SimUsbBus::replug(DeviceId device)
{
    SimDeviceProfile profile;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_devices.find(device);
        if (found == m_devices.end())
            return false;
        profile = found->second.profile;
    }
    return replug(device, std::move(profile));
}

bool SimUsbBus::replug(DeviceId device, SimDeviceProfile profile)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_devices.find(device);
        if (found == m_devices.end())
            return false;
        profile.path = found->second.profile.path;
        if (!profile.model)
            profile.model = found->second.profile.model;
        unplugLocked(device);
        plugLocked(std::move(profile), device);
    }
    notifyListeners();
    notifyListeners();
    return true;
}

bool SimUsbBus::isPlugged(DeviceId device) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_devices.find(device);
    return found != m_devices.end() && found->second.plugged;
}

std::u16string SimUsbBus::path(DeviceId device) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_devices.find(device);
    return found == m_devices.end() ? std::u16string() : found->second.profile.path;
}

void SimUsbBus::setHeldElsewhere(DeviceId device, bool held)
{
    setDeviceFlag(device, &Device::heldElsewhere, held);
}

void SimUsbBus::setAccessDenied(DeviceId device, bool denied)
{
    setDeviceFlag(device, &Device::accessDenied, denied);
}

void SimUsbBus::setDeviceFlag(DeviceId device, bool Device::*flag, bool value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_devices.find(device);
    if (found != m_devices.end())
        found->second.*flag = value;
}

void SimUsbBus::injectFault(const SimFault &fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back({fault, 0});
}

void SimUsbBus::clearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

void SimUsbBus::setGoneDeviceTransfersWait(bool wait)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_goneDeviceTransfersWait = wait;
}

std::vector<SimCall> SimUsbBus::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<SimCall>(m_calls.begin(), m_calls.end());
}

void SimUsbBus::clearCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    m_callCounts.fill(0);
}

std::size_t SimUsbBus::callCount(SimOp op) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_callCounts[std::size_t(op)];
}

void SimUsbBus::setCallLogLimit(std::size_t entries)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callLogLimit = entries;
    while (m_calls.size() > m_callLogLimit)
        m_calls.pop_front();
}

int SimUsbBus::openFileCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_files.size());
}

int SimUsbBus::liveInterfaceHandleCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_interfaceHandles.size());
}

int SimUsbBus::invalidHandleUses() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_invalidHandleUses;
}

int SimUsbBus::addChangeListener(std::function<void()> listener)
{
    return m_changeListeners.add(std::move(listener));
}

void SimUsbBus::removeChangeListener(int listenerId)
{
    m_changeListeners.remove(listenerId);
}

void SimUsbBus::raiseChangeNotification()
{
    notifyListeners();
}

SimUsbBus::DeviceId SimUsbBus::plugLocked(SimDeviceProfile profile, DeviceId device)
{
    if (profile.path.empty())
        profile.path = generatedPath(profile, device);
    Device &entry = m_devices[device];
    entry.profile = std::move(profile);
    entry.plugged = true;
    entry.instance = m_nextInstance++;
    return device;
}

bool SimUsbBus::unplugLocked(DeviceId device)
{
    const auto found = m_devices.find(device);
    if (found == m_devices.end() || !found->second.plugged)
        return false;
    found->second.plugged = false;
    return true;
}

SimUsbBus::Hit SimUsbBus::takeFault(SimOp op, DeviceId device, int descriptorType)
{
    Hit hit;
    bool decided = false;
    for (ArmedFault &armed : m_faults) {
        const SimFault &fault = armed.fault;
        if (fault.op != op || (fault.device >= 0 && fault.device != device)
            || (fault.descriptorType >= 0 && fault.descriptorType != descriptorType))
            continue;
        ++armed.seen;
        const bool inRange
            = armed.seen >= fault.nth && (fault.count < 0 || armed.seen < fault.nth + fault.count);
        if (!inRange || decided)
            continue;
        decided = true;
        switch (fault.action) {
        case SimFault::Action::Fail:
            hit.fail = true;
            break;
        case SimFault::Action::MoveFewer:
            hit.byteLimit = fault.bytes;
            break;
        case SimFault::Action::Unplug:
            hit.fail = true;
            hit.unplugged = unplugLocked(device);
            break;
        }
    }
    return hit;
}

const SimUsbBus::InterfaceHandleState *SimUsbBus::reachInterface(std::uintptr_t handle, Call &call)
{
    const auto found = m_interfaceHandles.find(handle);
    if (found == m_interfaceHandles.end()) {
        ++m_invalidHandleUses;
        return nullptr;
    }
    call.entry.device = found->second.device;
    return &found->second;
}

bool SimUsbBus::isGoneLocked(std::uintptr_t handle) const
{
    const auto found = m_interfaceHandles.find(handle);
    if (found == m_interfaceHandles.end())
        return false;
    const Device &device = m_devices.at(found->second.device);
    return !device.plugged || device.instance != found->second.instance;
}

bool SimUsbBus::isReachable(const InterfaceHandleState &state) const
{
    const Device &device = m_devices.at(state.device);
    return device.plugged && device.instance == state.instance && m_files.count(state.file) > 0;
}

void SimUsbBus::record(SimCall call)
{
    call.finished = std::chrono::steady_clock::now();
    ++m_callCounts[std::size_t(call.op)];
    m_calls.push_back(std::move(call));
    while (m_calls.size() > m_callLogLimit)
        m_calls.pop_front();
}

void SimUsbBus::notifyListeners()
{
    m_changeListeners.notify();
}

std::shared_ptr<SimUsbBus> simulatorBus()
{
    static const std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
    return bus;
}
