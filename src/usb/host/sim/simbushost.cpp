// The host operations of the simulated bus: what the platform would answer,
// with the armed faults applied.

#include "usb/host/sim/simusbbus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// The descriptor the device sends for a GetDescriptor request; empty when it
// has none of that type and index.
std::vector<uint8_t> descriptorFor(const SimDeviceProfile &profile, uint8_t type, uint8_t index)
{
    switch (type) {
    case UsbDeviceDescriptorType:
        return index == 0 ? simDeviceDescriptor(profile) : std::vector<uint8_t>();
    case UsbConfigurationDescriptorType:
        return index == 0 ? simConfigurationDescriptor(profile) : std::vector<uint8_t>();
    case UsbStringDescriptorType:
        if (index == 0)
            return {4, UsbStringDescriptorType, 0x09, 0x04}; // English (United States)
        if (index == profile.serialNumberIndex)
            return simStringDescriptor(profile.serialNumber);
        return {};
    default:
        return {};
    }
}

const SimPipeProfile *findPipe(const SimInterfaceProfile &interfaceProfile, uint8_t pipeId)
{
    for (const SimPipeProfile &pipe : interfaceProfile.pipes) {
        if (pipe.address == pipeId)
            return &pipe;
    }
    return nullptr;
}

} // namespace

bool SimUsbBus::finish(Call &call)
{
    const SimOp op = call.entry.op;
    const bool transfer = op == SimOp::ControlTransfer || op == SimOp::ReadPipe || op == SimOp::WritePipe;
    bool waitsOut = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waitsOut
            = transfer && !call.entry.result && m_goneDeviceTransfersWait && isGoneLocked(call.entry.handle);
        if (!waitsOut)
            record(call.entry);
    }
    if (call.unplugged)
        notifyListeners();
    if (waitsOut) {
        std::this_thread::sleep_for(std::chrono::milliseconds(transferTimeoutMs));
        std::lock_guard<std::mutex> lock(m_mutex);
        record(call.entry);
    }
    return call.entry.result;
}

bool SimUsbBus::listInterfacePaths(const UsbGuid &guid, std::vector<std::u16string> &paths)
{
    paths.clear();
    Call call(SimOp::ListInterfacePaths, 0);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &device : m_devices) {
            if (device.second.plugged && device.second.profile.interfaceGuid == guid)
                paths.push_back(device.second.profile.path);
        }
        // A failed enumeration still hands back what it gathered.
        call.entry.result = !takeFault(call.entry.op, -1, -1).fail;
        call.entry.transferred = uint32_t(paths.size());
    }
    return finish(call);
}

bool SimUsbBus::openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error)
{
    error = UsbOpenError::Failed;
    Call call(SimOp::OpenFile, 0);
    call.entry.path = path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = std::find_if(m_devices.begin(), m_devices.end(),
            [&](const auto &device) { return device.second.plugged && device.second.profile.path == path; });
        const DeviceId deviceId = found == m_devices.end() ? -1 : found->first;
        call.entry.device = deviceId;
        const Hit hit = takeFault(call.entry.op, deviceId, -1);
        call.unplugged = hit.unplugged;
        if (hit.fail) {
            error = UsbOpenError::Failed;
        } else if (deviceId < 0 || !found->second.plugged) {
            error = UsbOpenError::NotPresent;
        } else if (found->second.accessDenied) {
            error = UsbOpenError::AccessDenied;
        } else if (found->second.heldElsewhere) {
            error = UsbOpenError::InUse;
        } else {
            const uint64_t instance = found->second.instance;
            const bool openElsewhere = std::any_of(m_files.begin(), m_files.end(), [&](const auto &open) {
                return open.second.device == deviceId && open.second.instance == instance;
            });
            error = openElsewhere ? UsbOpenError::InUse : UsbOpenError::None;
            if (!openElsewhere) {
                const std::uintptr_t handle = m_nextHandle++;
                m_files.emplace(handle, OpenFile {deviceId, instance, false});
                file = UsbFileHandle(handle);
                call.entry.newHandle = handle;
                call.entry.result = true;
            }
        }
    }
    return finish(call);
}

bool SimUsbBus::initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface)
{
    Call call(SimOp::Initialize, std::uintptr_t(file));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_files.find(std::uintptr_t(file));
        if (found == m_files.end()) {
            ++m_invalidHandleUses;
        } else {
            OpenFile &open = found->second;
            call.entry.device = open.device;
            const Hit hit = takeFault(call.entry.op, open.device, -1);
            call.unplugged = hit.unplugged;
            const Device &device = m_devices.at(open.device);
            if (!hit.fail && !open.initialized && device.plugged && device.instance == open.instance
                && !device.profile.interfaces.empty()) {
                const std::uintptr_t handle = m_nextHandle++;
                m_interfaceHandles.emplace(
                    handle, InterfaceHandleState {open.device, open.instance, found->first, 0});
                open.initialized = true;
                firstInterface = UsbInterfaceHandle(handle);
                call.entry.newHandle = handle;
                call.entry.result = true;
            }
        }
    }
    return finish(call);
}

bool SimUsbBus::freeInterface(UsbInterfaceHandle handle)
{
    Call call(SimOp::FreeInterface, std::uintptr_t(handle));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (reachInterface(call.entry.handle, call)) {
            m_interfaceHandles.erase(call.entry.handle);
            call.entry.result = true;
        }
    }
    return finish(call);
}

bool SimUsbBus::closeFile(UsbFileHandle file)
{
    Call call(SimOp::CloseFile, std::uintptr_t(file));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_files.find(call.entry.handle);
        if (found == m_files.end()) {
            ++m_invalidHandleUses;
        } else {
            call.entry.device = found->second.device;
            m_files.erase(found);
            call.entry.result = true;
        }
    }
    return finish(call);
}

bool SimUsbBus::isAttached(UsbFileHandle file)
{
    Call call(SimOp::IsAttached, std::uintptr_t(file));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_files.find(call.entry.handle);
        if (found == m_files.end()) {
            ++m_invalidHandleUses;
        } else {
            const Device &device = m_devices.at(found->second.device);
            call.entry.device = found->second.device;
            call.entry.result = device.plugged && device.instance == found->second.instance;
        }
    }
    return finish(call);
}

bool SimUsbBus::getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
    uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Call call(SimOp::GetDescriptor, std::uintptr_t(handle));
    call.entry.descriptorType = type;
    call.entry.index = index;
    call.entry.languageId = languageId;
    call.entry.length = length;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const InterfaceHandleState *state = reachInterface(call.entry.handle, call)) {
            const Hit hit = takeFault(call.entry.op, state->device, type);
            call.unplugged = hit.unplugged;
            if (!hit.fail && isReachable(*state)) {
                const std::vector<uint8_t> descriptor
                    = descriptorFor(m_devices.at(state->device).profile, type, index);
                if (!descriptor.empty()) {
                    transferred = std::min({length, uint32_t(descriptor.size()), hit.byteLimit});
                    std::copy_n(descriptor.begin(), transferred, buffer);
                    call.entry.result = true;
                }
            }
        }
        call.entry.transferred = transferred;
    }
    return finish(call);
}

bool SimUsbBus::getAssociatedInterface(
    UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated)
{
    Call call(SimOp::GetAssociatedInterface, std::uintptr_t(handle));
    call.entry.index = associatedIndex;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const InterfaceHandleState *state = reachInterface(call.entry.handle, call)) {
            const Hit hit = takeFault(call.entry.op, state->device, -1);
            call.unplugged = hit.unplugged;
            const std::size_t interfaceIndex = std::size_t(associatedIndex) + 1;
            // Only the handle from initialize leads to the other interfaces.
            if (!hit.fail && isReachable(*state) && state->interfaceIndex == 0
                && interfaceIndex < m_devices.at(state->device).profile.interfaces.size()) {
                const std::uintptr_t newHandle = m_nextHandle++;
                m_interfaceHandles.emplace(newHandle,
                    InterfaceHandleState {state->device, state->instance, state->file, interfaceIndex});
                associated = UsbInterfaceHandle(newHandle);
                call.entry.newHandle = newHandle;
                call.entry.result = true;
            }
        }
    }
    return finish(call);
}

bool SimUsbBus::queryInterfaceSettings(
    UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor)
{
    Call call(SimOp::QueryInterfaceSettings, std::uintptr_t(handle));
    call.entry.alternateSetting = alternateSetting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const InterfaceHandleState *state = reachInterface(call.entry.handle, call)) {
            const Hit hit = takeFault(call.entry.op, state->device, -1);
            call.unplugged = hit.unplugged;
            if (!hit.fail && isReachable(*state) && alternateSetting == 0) {
                descriptor = simInterfaceDescriptor(
                    m_devices.at(state->device).profile.interfaces[state->interfaceIndex]);
                call.entry.result = true;
            }
        }
    }
    return finish(call);
}

bool SimUsbBus::queryPipe(
    UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex, UsbPipeInformation &pipe)
{
    Call call(SimOp::QueryPipe, std::uintptr_t(handle));
    call.entry.alternateSetting = alternateSetting;
    call.entry.index = pipeIndex;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const InterfaceHandleState *state = reachInterface(call.entry.handle, call)) {
            const Hit hit = takeFault(call.entry.op, state->device, -1);
            call.unplugged = hit.unplugged;
            if (!hit.fail && isReachable(*state) && alternateSetting == 0) {
                const auto &pipes
                    = m_devices.at(state->device).profile.interfaces[state->interfaceIndex].pipes;
                if (pipeIndex < pipes.size()) {
                    const SimPipeProfile &profile = pipes[pipeIndex];
                    pipe = UsbPipeInformation {
                        profile.type, profile.address, profile.maximumPacketSize, profile.interval};
                    call.entry.result = true;
                }
            }
        }
    }
    return finish(call);
}

SimUsbBus::Routed SimUsbBus::route(Call &call, int pipeId, bool in)
{
    Routed routed;
    const InterfaceHandleState *state = reachInterface(call.entry.handle, call);
    if (!state)
        return routed;
    const Hit hit = takeFault(call.entry.op, state->device, -1);
    call.unplugged = hit.unplugged;
    if (hit.fail || !isReachable(*state))
        return routed;
    const SimDeviceProfile &profile = m_devices.at(state->device).profile;
    const SimInterfaceProfile &interfaceProfile = profile.interfaces[state->interfaceIndex];
    if (pipeId >= 0) {
        const SimPipeProfile *pipe = findPipe(interfaceProfile, uint8_t(pipeId));
        if (!pipe || bool(pipe->address & UsbEndpointDirectionIn) != in)
            return routed;
    }
    routed.model = profile.model ? profile.model : m_defaultModel;
    routed.device = state->device;
    routed.interfaceNumber = interfaceProfile.number;
    routed.byteLimit = hit.byteLimit;
    return routed;
}

bool SimUsbBus::controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
    uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Call call(SimOp::ControlTransfer, std::uintptr_t(handle));
    call.entry.setup = setup;
    call.entry.length = length;
    Routed routed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        routed = route(call, -1, false);
    }
    if (routed.model) {
        const uint32_t allowed = std::min(length, routed.byteLimit);
        call.entry.result = routed.model->controlTransfer(
            SimTarget {*this, routed.device, routed.interfaceNumber}, setup, buffer, allowed, transferred);
        transferred = std::min(transferred, allowed);
        if (!(setup.RequestType & UsbEndpointDirectionIn) && buffer)
            call.entry.data.assign(buffer, buffer + transferred);
    }
    call.entry.transferred = transferred;
    return finish(call);
}

bool SimUsbBus::readPipe(
    UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Call call(SimOp::ReadPipe, std::uintptr_t(handle));
    call.entry.pipeId = pipeId;
    call.entry.length = length;
    Routed routed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        routed = route(call, pipeId, true);
    }
    if (routed.model) {
        const uint32_t allowed = std::min(length, routed.byteLimit);
        call.entry.result = routed.model->readPipe(
            SimTarget {*this, routed.device, routed.interfaceNumber}, pipeId, buffer, allowed, transferred);
        transferred = std::min(transferred, allowed);
    }
    call.entry.transferred = transferred;
    return finish(call);
}

bool SimUsbBus::writePipe(
    UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Call call(SimOp::WritePipe, std::uintptr_t(handle));
    call.entry.pipeId = pipeId;
    call.entry.length = length;
    Routed routed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        routed = route(call, pipeId, false);
    }
    if (routed.model) {
        const uint32_t allowed = std::min(length, routed.byteLimit);
        call.entry.result = routed.model->writePipe(
            SimTarget {*this, routed.device, routed.interfaceNumber}, pipeId, buffer, allowed, transferred);
        transferred = std::min(transferred, allowed);
        if (buffer)
            call.entry.data.assign(buffer, buffer + transferred);
    }
    call.entry.transferred = transferred;
    return finish(call);
}
