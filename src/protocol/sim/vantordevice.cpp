#include "protocol/sim/vantordevice.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr std::size_t requestLogLimit = 10000;

// The shape of each request: direction, data-stage length, whether wValue
// is a settings slot (else it must be 0), and whether only the loader
// (flashing mode) takes it.
struct RequestRule
{
    bool in;
    uint16_t length;
    bool slotValue;
    bool flashingOnly;
};

// Keyed by the request itself: a request without a rule is a compile
// warning here, not a shifted table.
std::optional<RequestRule> ruleFor(uint8_t request)
{
    switch (VantorRequest(request)) {
    case VantorRequest::ReadDeviceStatus:
        return RequestRule {true, sizeof(VantorDeviceStatus), false, false};
    case VantorRequest::WriteImageInfo:
        return RequestRule {false, sizeof(VantorImageInformation), false, true};
    case VantorRequest::ReadFirmwareInformation:
        return RequestRule {true, sizeof(VantorFirmwareInformation), false, false};
    case VantorRequest::WriteFactoryConfigurationSize:
        return RequestRule {false, 4, false, true};
    case VantorRequest::ReadFactoryConfiguration:
        return RequestRule {true, 4, false, false};
    case VantorRequest::WriteDeviceInformation:
        return RequestRule {false, sizeof(VantorDeviceInformation), false, false};
    case VantorRequest::ReadDeviceInformation:
        return RequestRule {true, sizeof(VantorDeviceInformation), false, false};
    case VantorRequest::StartApplication:
    case VantorRequest::RestartDevice:
    case VantorRequest::EnableJtagProtection:
    case VantorRequest::EnterFlashingMode:
    case VantorRequest::EraseUserSettings:
        return RequestRule {false, 0, false, false};
    case VantorRequest::WriteAes256Keys:
        return RequestRule {false, vantorKeyBlockSize, false, false};
    case VantorRequest::ReadFlashingMode:
    case VantorRequest::ReadBusy:
        return RequestRule {true, 1, false, false};
    case VantorRequest::ReadUserSettings:
        return RequestRule {true, 4, true, false};
    case VantorRequest::WriteUserSettings:
        return RequestRule {false, 4, true, false};
    }
    return std::nullopt;
}

std::vector<uint8_t> lengthPrefix(std::size_t size)
{
    std::vector<uint8_t> bytes(4);
    vantorStore32(bytes.data(), uint32_t(size));
    return bytes;
}

} // namespace

VantorDevice::VantorDevice(VantorLink &link, VantorDeviceState state, VantorDeviceBehaviour behaviour)
    : m_link(link)
    , m_behaviour(behaviour)
    , m_state(std::move(state))
    , m_restartDelay(behaviour.restartDelay)
{
    m_mode = powerOnModeLocked();
}

VantorDevice::~VantorDevice()
{
    // The return timer calls back into this object, so it stops first.
    m_returnTimer.cancel();
}

bool VantorDevice::controlRequest(
    const UsbSetupPacket &setup, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Departure departure;
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        settleLocked();
        const VantorFault *fault = takeFault(false, setup.Request);
        if (fault && fault->action == VantorFault::Action::LeaveOnRequest) {
            dropOffLocked(departure);
        } else if (fault && fault->action == VantorFault::Action::AnswerShort) {
            const uint32_t moved = std::min(length, fault->bytes);
            // An IN request gets the start of its real answer; an OUT request
            // whose data did not all arrive is not acted on.
            if (setup.RequestType & UsbEndpointDirectionIn) {
                std::vector<uint8_t> whole(length);
                uint32_t answered = 0;
                accepted = handleLocked(setup, whole.data(), length, answered, departure);
                transferred = accepted ? std::min(moved, answered) : 0;
                std::copy_n(whole.begin(), transferred, buffer);
            } else {
                transferred = moved;
                accepted = true;
            }
        } else if (!fault) {
            accepted = handleLocked(setup, buffer, length, transferred, departure);
        }
        m_requests.push_back({setup, accepted});
        while (m_requests.size() > requestLogLimit)
            m_requests.pop_front();
    }
    depart(departure);
    return accepted;
}

bool VantorDevice::handleLocked(const UsbSetupPacket &setup, uint8_t *buffer, uint32_t length,
    uint32_t &transferred, Departure &departure)
{
    const std::optional<RequestRule> rule = ruleFor(setup.Request);
    if (!rule)
        return false;
    const uint8_t expectedType = rule->in ? vantorRequestTypeIn : vantorRequestTypeOut;
    if (setup.RequestType != expectedType || setup.Index != vantorInterfaceNumber
        || setup.Length != rule->length)
        return false;
    if (rule->slotValue ? setup.Value >= vantorUserSettingsSlots : setup.Value != 0)
        return false;
    if (rule->flashingOnly && m_mode != VantorMode::Flashing)
        return false;
    // A data stage that did not arrive whole is not acted on.
    if (!rule->in && length != rule->length)
        return false;
    const int slot = setup.Value;

    switch (VantorRequest(setup.Request)) {
    case VantorRequest::ReadDeviceStatus: {
        VantorDeviceStatus status {};
        status.recordVersion = 1;
        status.flashingMode = m_mode == VantorMode::Flashing;
        status.busy = busyLocked();
        status.firmwareValid = m_state.firmware.flags & vantorFirmwareValid;
        status.keysStored = uint8_t(std::min<std::size_t>(m_state.keys.size(), 255));
        status.freeSlotsCount = m_state.freeSlots;
        return answer(vantorBytes(status), buffer, length, transferred);
    }
    case VantorRequest::WriteImageInfo: {
        VantorImageInformation information;
        std::memcpy(&information, buffer, sizeof information);
        const uint32_t size = vantorLoad32(information.dataSize);
        if (size > imageCapacity)
            return false;
        // The old firmware is gone as soon as a new image is announced.
        m_state.imageAnnounced = true;
        m_state.imageInformation = information;
        m_state.image.clear();
        m_state.firmware.flags &= uint8_t(~vantorFirmwareValid);
        m_firmwarePending = false;
        announce(Target::Image, 0, size);
        break;
    }
    case VantorRequest::ReadFirmwareInformation:
        return answer(vantorBytes(m_state.firmware), buffer, length, transferred);
    case VantorRequest::WriteFactoryConfigurationSize: {
        const uint32_t size = vantorLoad32(buffer);
        if (size > factoryConfigurationCapacity)
            return false;
        m_state.factoryConfiguration.clear();
        announce(Target::FactoryConfiguration, 0, size);
        break;
    }
    case VantorRequest::ReadFactoryConfiguration:
        m_prepared.reset();
        if (!m_state.factoryConfiguration.empty())
            m_prepared = m_state.factoryConfiguration;
        return answer(lengthPrefix(m_state.factoryConfiguration.size()), buffer, length, transferred);
    case VantorRequest::WriteDeviceInformation: {
        if (m_state.freeSlots == 0)
            return false;
        VantorDeviceInformation written;
        std::memcpy(&written, buffer, sizeof written);
        VantorDeviceInformation &identity = m_state.identity;
        identity.boardVersion = written.boardVersion;
        identity.boardSubversion = written.boardSubversion;
        std::memcpy(identity.serialNumber, written.serialNumber, sizeof identity.serialNumber);
        // Only request 10 protects JTAG, and nothing lifts the protection.
        identity.flags = uint8_t(vantorIdentityValid | (written.flags & vantorHwTypeMask)
            | (identity.flags & vantorJtagProtected));
        --m_state.freeSlots;
        break;
    }
    case VantorRequest::ReadDeviceInformation:
        return answer(vantorBytes(m_state.identity), buffer, length, transferred);
    case VantorRequest::StartApplication:
    case VantorRequest::RestartDevice:
        restartLocked(
            m_state.firmware.flags & vantorFirmwareValid ? VantorMode::Application : VantorMode::Flashing,
            departure);
        return true;
    case VantorRequest::EnableJtagProtection:
        if (m_state.identity.flags & vantorJtagProtected)
            return true;
        m_state.identity.flags |= vantorJtagProtected;
        break;
    case VantorRequest::WriteAes256Keys:
        if (m_state.freeSlots == 0)
            return false;
        m_state.keys.emplace_back(buffer, buffer + vantorKeyBlockSize);
        --m_state.freeSlots;
        break;
    case VantorRequest::ReadFlashingMode:
        return answer({uint8_t(m_mode == VantorMode::Flashing)}, buffer, length, transferred);
    case VantorRequest::EnterFlashingMode:
        restartLocked(VantorMode::Flashing, departure);
        return true;
    case VantorRequest::ReadUserSettings:
        m_prepared.reset();
        if (!m_state.userSettings[slot].empty())
            m_prepared = m_state.userSettings[slot];
        return answer(lengthPrefix(m_state.userSettings[slot].size()), buffer, length, transferred);
    case VantorRequest::WriteUserSettings: {
        const uint32_t size = vantorLoad32(buffer);
        // Flash cells take new settings only after an erase.
        if (!m_state.userSettings[slot].empty() || size > userSettingsCapacity)
            return false;
        announce(Target::UserSettings, slot, size);
        break;
    }
    case VantorRequest::EraseUserSettings:
        for (auto &settings : m_state.userSettings)
            settings.clear();
        if (m_incoming.target == Target::UserSettings)
            m_incoming = Incoming();
        startBusyLocked();
        break;
    case VantorRequest::ReadBusy:
        return answer({uint8_t(busyLocked())}, buffer, length, transferred);
    }
    transferred = length;
    changedLocked();
    return true;
}

bool VantorDevice::answer(
    const std::vector<uint8_t> &bytes, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = uint32_t(std::min<std::size_t>(length, bytes.size()));
    std::copy_n(bytes.begin(), transferred, buffer);
    return true;
}

void VantorDevice::announce(Target target, int slot, uint32_t size)
{
    m_incoming = Incoming {target, slot, size, 0};
    // An empty block is whole the moment it is announced.
    if (size == 0)
        finishIncoming();
}

bool VantorDevice::bulkOut(const uint8_t *data, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    Departure departure;
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        settleLocked();
        const VantorFault *fault = takeFault(true, 0);
        if (fault && fault->action == VantorFault::Action::LeaveAtBulkWrite) {
            dropOffLocked(departure);
        } else if (!fault && m_incoming.target != Target::None
            && length <= m_incoming.expected - m_incoming.received) {
            receive(data, length);
            transferred = length;
            accepted = true;
        }
    }
    depart(departure);
    return accepted;
}

void VantorDevice::receive(const uint8_t *data, uint32_t length)
{
    std::vector<uint8_t> *block = nullptr;
    switch (m_incoming.target) {
    case Target::Image:
        block = &m_state.image;
        break;
    case Target::FactoryConfiguration:
        block = &m_state.factoryConfiguration;
        break;
    case Target::UserSettings:
        block = &m_state.userSettings[m_incoming.slot];
        break;
    case Target::None:
        return;
    }
    block->insert(block->end(), data, data + length);
    m_incoming.received += length;
    // Partial blocks are not written out: a run that ends in the middle of
    // a transfer leaves what the last whole change left.
    if (m_incoming.received == m_incoming.expected) {
        finishIncoming();
        changedLocked();
    }
}

void VantorDevice::finishIncoming()
{
    if (m_incoming.target == Target::Image)
        m_firmwarePending = true;
    m_incoming = Incoming();
    startBusyLocked();
}

bool VantorDevice::bulkIn(uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transferred = 0;
    if (!m_prepared)
        return false;
    answer(*m_prepared, buffer, length, transferred);
    m_prepared.reset();
    return true;
}

void VantorDevice::restartLocked(VantorMode mode, Departure &departure)
{
    ++m_restarts;
    resetTransientLocked();
    m_onBus = false;
    departure.leave = true;
    departure.returns = m_restartDelay.has_value();
    departure.mode = mode;
    departure.delay = m_restartDelay.value_or(std::chrono::milliseconds(0));
    departure.powerOns = m_powerOns;
    m_returnDue = departure.returns;
}

void VantorDevice::dropOffLocked(Departure &departure)
{
    resetTransientLocked();
    m_onBus = false;
    departure.leave = true;
    departure.powerOns = m_powerOns;
}

void VantorDevice::resetTransientLocked()
{
    // A restart interrupts whatever the device was doing: an image still
    // waiting for its busy window to end stays not valid.
    m_incoming = Incoming();
    m_prepared.reset();
    m_firmwarePending = false;
    m_busyUntil = Clock::time_point();
}

void VantorDevice::depart(const Departure &departure)
{
    if (!departure.leave)
        return;
    {
        // A power-on between the request and here already put the device
        // back; leaving now would take it away for good.
        std::lock_guard<std::mutex> order(*m_linkOrder);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (supersededLocked(departure))
                return;
        }
        m_link.leave();
    }
    if (!departure.returns)
        return;
    if (departure.delay.count() == 0) {
        comeBack(departure);
        return;
    }
    m_returnTimer.start(departure.delay, [this, departure] { comeBack(departure); });
}

void VantorDevice::comeBack(const Departure &departure)
{
    // Kept alive here: the arrival may destroy this object on the timer's thread.
    const std::shared_ptr<std::mutex> linkOrder = m_linkOrder;
    std::lock_guard<std::mutex> order(*linkOrder);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Powered on meanwhile: the device is back already, and a second
        // arrival would replug it under whatever talks to it then.
        if (supersededLocked(departure))
            return;
    }
    arrive(departure.mode);
}

void VantorDevice::arrive(VantorMode mode)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mode = mode;
        m_onBus = true;
        m_returnDue = false;
    }
    // Last use of this object: arriving may end the owner's life when it
    // runs on the return timer.
    m_link.arrive(mode);
}

void VantorDevice::powerOn()
{
    m_returnTimer.cancel();
    std::lock_guard<std::mutex> order(*m_linkOrder);
    VantorMode mode;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_powerOns;
        settleLocked();
        resetTransientLocked();
        mode = powerOnModeLocked();
    }
    arrive(mode);
}

void VantorDevice::startBusyLocked()
{
    m_busyUntil = Clock::now() + m_behaviour.busyTime;
}

void VantorDevice::settleLocked()
{
    if (!m_firmwarePending || busyLocked())
        return;
    m_firmwarePending = false;
    m_state.firmware = vantorFirmwareOfImage(m_state.image);
    changedLocked();
}

bool VantorDevice::busyLocked() const
{
    return m_busyForever || Clock::now() < m_busyUntil;
}

VantorMode VantorDevice::powerOnModeLocked() const
{
    return m_state.firmware.flags & vantorFirmwareValid ? m_behaviour.powerOnMode : VantorMode::Flashing;
}

const VantorFault *VantorDevice::takeFault(bool bulk, uint8_t request)
{
    const VantorFault *hit = nullptr;
    for (ArmedFault &armed : m_faults) {
        const VantorFault &fault = armed.fault;
        const bool bulkFault = fault.action == VantorFault::Action::FailBulkWrite
            || fault.action == VantorFault::Action::LeaveAtBulkWrite;
        if (bulkFault != bulk || (!bulk && fault.request != request))
            continue;
        ++armed.seen;
        const bool inRange
            = armed.seen >= fault.nth && (fault.count < 0 || armed.seen < fault.nth + fault.count);
        if (inRange && !hit)
            hit = &fault;
    }
    return hit;
}

void VantorDevice::changedLocked() const
{
    if (m_stateListener)
        m_stateListener(m_state);
}

void VantorDevice::injectFault(const VantorFault &fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back({fault, 0});
}

void VantorDevice::clearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
    m_busyForever = false;
}

void VantorDevice::setBusyForever(bool busyForever)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busyForever = busyForever;
}

void VantorDevice::setRestartDelay(std::optional<std::chrono::milliseconds> delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_restartDelay = delay;
}

void VantorDevice::setStateListener(std::function<void(const VantorDeviceState &)> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateListener = std::move(listener);
}

VantorDeviceState VantorDevice::state() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Reports a write whose busy time is over as done without recording it:
    // the device itself settles at its next request.
    VantorDeviceState state = m_state;
    if (m_firmwarePending && !busyLocked())
        state.firmware = vantorFirmwareOfImage(state.image);
    return state;
}

VantorMode VantorDevice::mode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mode;
}

bool VantorDevice::isOnBus() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_onBus;
}

bool VantorDevice::isBusy() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return busyLocked();
}

bool VantorDevice::isReturnPending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_returnDue;
}

int VantorDevice::restarts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_restarts;
}

std::vector<VantorRequestRecord> VantorDevice::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<VantorRequestRecord>(m_requests.begin(), m_requests.end());
}

void VantorDevice::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}
