#include "usb/host/libusb/libusbhost.h"

#include "usb/host/libusb/libusbqueuedtransfers.h"
#include "usb/host/libusb/libusbtranslate.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#ifdef __linux__
#include <linux/limits.h>
#include <pthread.h>
#include <unistd.h>
#endif

// One opened device: the claims that make the open exclusive, and the
// configuration the interfaces and pipes are read from.
struct LibusbHost::OpenDevice
{
    libusb_device *device = nullptr; // referenced while open
    libusb_device_handle *handle = nullptr;
    libusb_config_descriptor *config = nullptr;
    std::vector<int> claimed;
    bool initialized = false;

    ~OpenDevice() { close(); }

    void close()
    {
        if (handle) {
            for (int number : claimed)
                libusb_release_interface(handle, number);
            libusb_close(handle);
        }
        claimed.clear();
        handle = nullptr;
        if (config)
            libusb_free_config_descriptor(config);
        config = nullptr;
        if (device)
            libusb_unref_device(device);
        device = nullptr;
    }

    int interfaceNumber(int interfaceIndex) const
    {
        return config->interface[interfaceIndex].altsetting[0].bInterfaceNumber;
    }
};

namespace {

// libusb's device list, released (and its devices unreferenced) on leaving scope.
class DeviceList
{
public:
    explicit DeviceList(libusb_context *context)
    {
        const ssize_t count = context ? libusb_get_device_list(context, &m_list) : -1;
        m_count = count < 0 ? 0 : std::size_t(count);
        m_complete = count >= 0;
    }
    ~DeviceList()
    {
        if (m_list)
            libusb_free_device_list(m_list, 1);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    bool complete() const { return m_complete; }
    libusb_device **begin() const { return m_list; }
    libusb_device **end() const { return m_list + m_count; }

private:
    libusb_device **m_list = nullptr;
    std::size_t m_count = 0;
    bool m_complete = false;
};

// The active configuration's descriptor, freed on leaving scope.
struct ActiveConfiguration
{
    explicit ActiveConfiguration(libusb_device *device)
    {
        if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS)
            config = nullptr;
    }
    ~ActiveConfiguration()
    {
        if (config)
            libusb_free_config_descriptor(config);
    }
    ActiveConfiguration(const ActiveConfiguration &) = delete;
    ActiveConfiguration &operator=(const ActiveConfiguration &) = delete;

    libusb_config_descriptor *config = nullptr;
};

int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event, void *host)
{
    static_cast<LibusbHost *>(host)->notifyListeners();
    return 0;
}

constexpr int maxPortDepth = 8;

} // namespace

LibusbHost::LibusbHost(const UsbInterfaceMatch &match)
    : m_match(match)
{
    if (libusb_init(&m_context) != LIBUSB_SUCCESS) {
        m_context = nullptr;
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        m_hotplugRegistered = libusb_hotplug_register_callback(m_context,
                                  libusb_hotplug_event(
                                      LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                                  libusb_hotplug_flag(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                  LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, this, &m_hotplugHandle)
            == LIBUSB_SUCCESS;
    }
    if (m_hotplugRegistered)
        m_eventThread = std::thread([this] { runEvents(); });
}

LibusbHost::~LibusbHost()
{
    {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        m_stopping = true;
    }
    m_eventsResume.notify_all();
    if (m_hotplugRegistered)
        libusb_hotplug_deregister_callback(m_context, m_hotplugHandle); // wakes the event thread
    if (m_eventThread.joinable())
        m_eventThread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_interfaces.clear();
        m_files.clear();
    }
    if (m_context)
        libusb_exit(m_context);
}

// Handles libusb's events while none of the host's transfers runs: hot-plug
// events, and completions nobody waits for. A transfer's own thread handles
// the events while it waits (libusb's synchronous calls do, and so does the
// batch queue); were this thread handling them too, most completions would
// reach it first and it would have to wake the waiting thread, two thread
// switches for every transfer. So it stands aside while transfers run, and
// comes back only once none has run for a while, lest every batch of a
// write send it away again. Hot-plug events meanwhile reach the listeners
// through a transferring thread, or at the latest when this one comes back.
void LibusbHost::runEvents()
{
#ifdef __linux__
    // Named, so that a profile tells it from the program's other threads.
    pthread_setname_np(pthread_self(), "usb events");
#endif
    while (!m_stopping) {
        {
            std::unique_lock<std::mutex> lock(m_eventsMutex);
            while (m_eventThreadAside && !m_stopping) {
                const unsigned int started = m_transfersStarted;
                m_eventsResume.wait_for(lock, eventThreadReturnAfter);
                if (m_transfersRunning == 0 && m_transfersStarted == started)
                    m_eventThreadAside = false;
            }
        }
        if (m_stopping)
            break;
        timeval wait {0, 250000};
        libusb_handle_events_timeout_completed(m_context, &wait, nullptr);
    }
}

void LibusbHost::beginTransfer()
{
    // Counted before the event thread's state is read: it comes back only
    // after a quiet spell in which both counts stood still, so either it
    // sees this transfer or this transfer sees it back in libusb.
    ++m_transfersRunning;
    ++m_transfersStarted;
    if (m_eventThreadAside || !m_eventThread.joinable())
        return;
    bool sendAside = false;
    {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        if (!m_eventThreadAside)
            m_eventThreadAside = sendAside = true;
    }
    // Ends the event thread's wait in libusb; if it is not in one, the
    // interruption stays pending and ends its next wait at once.
    if (sendAside)
        libusb_interrupt_event_handler(m_context);
}

void LibusbHost::endTransfer()
{
    --m_transfersRunning;
}

int LibusbHost::addChangeListener(std::function<void()> listener)
{
    return m_changeListeners.add(std::move(listener));
}

void LibusbHost::removeChangeListener(int listenerId)
{
    m_changeListeners.remove(listenerId);
}

void LibusbHost::notifyListeners()
{
    m_changeListeners.notify();
}

std::u16string LibusbHost::portPath(libusb_device *device) const
{
    uint8_t ports[maxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, maxPortDepth);
    return libusbPortPath(libusb_get_bus_number(device), ports, depth < 0 ? 0 : depth);
}

bool LibusbHost::kernelDriverHoldsAnInterface(libusb_device *device) const
{
#ifdef __linux__
    // The kernel shows which driver holds each interface without opening the
    // device, so a device of someone else's is never touched. usbfs is the
    // driver every libusb claim shows, ours included.
    ActiveConfiguration active(device);
    if (!active.config)
        return false;
    uint8_t ports[maxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, maxPortDepth);
    for (int i = 0; i < active.config->bNumInterfaces; ++i) {
        const std::string link = "/sys/bus/usb/devices/"
            + libusbSysfsInterfaceName(libusb_get_bus_number(device), ports, depth < 0 ? 0 : depth,
                active.config->bConfigurationValue,
                active.config->interface[i].altsetting[0].bInterfaceNumber)
            + "/driver";
        char target[PATH_MAX];
        const ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
        if (size <= 0)
            continue;
        target[size] = '\0';
        const char *name = std::strrchr(target, '/');
        if (std::strcmp(name ? name + 1 : target, "usbfs") != 0)
            return true;
    }
#else
    (void)device;
#endif
    return false;
}

bool LibusbHost::isListed(libusb_device *device) const
{
    ActiveConfiguration active(device);
    return active.config && libusbConfigurationMatches(*active.config, m_match)
        && !kernelDriverHoldsAnInterface(device);
}

bool LibusbHost::listInterfacePaths(const UsbGuid &, std::vector<std::u16string> &paths)
{
    paths.clear();
    const DeviceList devices(m_context);
    for (libusb_device *device : devices) {
        if (isListed(device))
            paths.push_back(portPath(device));
    }
    std::sort(paths.begin(), paths.end());
    return devices.complete();
}

bool LibusbHost::openFile(const std::u16string &path, UsbFileHandle &file, UsbOpenError &error)
{
    error = UsbOpenError::NotPresent;
    auto opened = std::make_shared<OpenDevice>();
    {
        const DeviceList devices(m_context);
        for (libusb_device *device : devices) {
            if (portPath(device) == path && isListed(device)) {
                opened->device = libusb_ref_device(device);
                break;
            }
        }
    }
    if (!opened->device)
        return false;
    int result = libusb_open(opened->device, &opened->handle);
    if (result != LIBUSB_SUCCESS) {
        opened->handle = nullptr;
        error = libusbOpenError(result);
        return false;
    }
    result = libusb_get_active_config_descriptor(opened->device, &opened->config);
    if (result != LIBUSB_SUCCESS) {
        opened->config = nullptr;
        error = UsbOpenError::Failed;
        return false;
    }
    for (int i = 0; i < opened->config->bNumInterfaces; ++i) {
        const int number = opened->interfaceNumber(i);
        // Never detach: a kernel driver's interface means the device is not ours.
        if (libusb_kernel_driver_active(opened->handle, number) == 1) {
            error = UsbOpenError::InUse;
            return false;
        }
        result = libusb_claim_interface(opened->handle, number);
        if (result != LIBUSB_SUCCESS) {
            error = libusbOpenError(result);
            return false;
        }
        opened->claimed.push_back(number);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uintptr_t handle = m_nextHandle++;
    m_files.emplace(handle, std::move(opened));
    file = UsbFileHandle(handle);
    error = UsbOpenError::None;
    return true;
}

std::shared_ptr<LibusbHost::OpenDevice> LibusbHost::openDevice(UsbFileHandle file) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_files.find(std::uintptr_t(file));
    return found == m_files.end() ? nullptr : found->second;
}

bool LibusbHost::reachInterface(UsbInterfaceHandle handle, InterfaceRef &ref) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_interfaces.find(std::uintptr_t(handle));
    if (found == m_interfaces.end() || !found->second.device->handle)
        return false;
    ref = found->second;
    return true;
}

UsbInterfaceHandle LibusbHost::issueInterface(const std::shared_ptr<OpenDevice> &device, int interfaceIndex)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uintptr_t handle = m_nextHandle++;
    m_interfaces.emplace(handle, InterfaceRef {device, interfaceIndex});
    return UsbInterfaceHandle(handle);
}

bool LibusbHost::initialize(UsbFileHandle file, UsbInterfaceHandle &firstInterface)
{
    const std::shared_ptr<OpenDevice> device = openDevice(file);
    if (!device || !device->handle || device->initialized || device->config->bNumInterfaces == 0)
        return false;
    device->initialized = true;
    firstInterface = issueInterface(device, 0);
    return true;
}

bool LibusbHost::freeInterface(UsbInterfaceHandle handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_interfaces.erase(std::uintptr_t(handle)) == 1;
}

bool LibusbHost::closeFile(UsbFileHandle file)
{
    std::shared_ptr<OpenDevice> device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_files.find(std::uintptr_t(file));
        if (found == m_files.end())
            return false;
        device = std::move(found->second);
        m_files.erase(found);
    }
    // Released now, not when the last interface handle goes, so the device
    // can be opened again at once (reopen after a restart).
    device->close();
    return true;
}

bool LibusbHost::isAttached(UsbFileHandle file)
{
    const std::shared_ptr<OpenDevice> device = openDevice(file);
    if (!device || !device->handle)
        return false;
    // A device that re-enumerated is a new libusb_device in the same port.
    const std::u16string path = portPath(device->device);
    const DeviceList devices(m_context);
    for (libusb_device *present : devices) {
        if (portPath(present) == path)
            return present == device->device;
    }
    return false;
}

bool LibusbHost::getDescriptor(UsbInterfaceHandle handle, uint8_t type, uint8_t index, uint16_t languageId,
    uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    InterfaceRef ref;
    if (!reachInterface(handle, ref) || length > 0xFFFF)
        return false;
    OpenDevice &device = *ref.device;
    const auto copyRecord = [&](const void *record, std::size_t size) {
        transferred = uint32_t(std::min<std::size_t>(size, length));
        std::memcpy(buffer, record, transferred);
        return true;
    };
    if (type == UsbDeviceDescriptorType && index == 0) {
        libusb_device_descriptor descriptor {};
        if (libusb_get_device_descriptor(device.device, &descriptor) != LIBUSB_SUCCESS)
            return false;
        const UsbDeviceDescriptor record = libusbDeviceRecord(descriptor);
        return copyRecord(&record, sizeof record);
    }
    if (type == UsbConfigurationDescriptorType && index == 0
        && length <= sizeof(UsbConfigurationDescriptor)) {
        const UsbConfigurationDescriptor record = libusbConfigurationRecord(*device.config);
        return copyRecord(&record, sizeof record);
    }
    int result;
    if (type == UsbStringDescriptorType && index != 0) {
        // Language 0 names no language on the bus, and devices that keep
        // their strings per language refuse it: ask in the device's first.
        if (languageId == 0) {
            uint8_t languages[4] = {};
            if (libusb_get_string_descriptor(device.handle, 0, 0, languages, sizeof languages) < 4)
                return false;
            languageId = uint16_t(languages[2] | languages[3] << 8);
        }
        result = libusb_get_string_descriptor(device.handle, index, languageId, buffer, int(length));
    } else {
        result = libusb_get_descriptor(device.handle, type, index, buffer, int(length));
    }
    if (result < 0)
        return false;
    transferred = uint32_t(result);
    return true;
}

bool LibusbHost::getAssociatedInterface(
    UsbInterfaceHandle handle, uint8_t associatedIndex, UsbInterfaceHandle &associated)
{
    InterfaceRef ref;
    if (!reachInterface(handle, ref) || ref.interfaceIndex != 0
        || associatedIndex + 1 >= ref.device->config->bNumInterfaces)
        return false;
    associated = issueInterface(ref.device, associatedIndex + 1);
    return true;
}

bool LibusbHost::queryInterfaceSettings(
    UsbInterfaceHandle handle, uint8_t alternateSetting, UsbInterfaceDescriptor &descriptor)
{
    InterfaceRef ref;
    if (!reachInterface(handle, ref))
        return false;
    const libusb_interface_descriptor *setting
        = libusbAlternateSetting(ref.device->config->interface[ref.interfaceIndex], alternateSetting);
    if (!setting)
        return false;
    descriptor = libusbInterfaceRecord(*setting);
    return true;
}

bool LibusbHost::queryPipe(
    UsbInterfaceHandle handle, uint8_t alternateSetting, uint8_t pipeIndex, UsbPipeInformation &pipe)
{
    InterfaceRef ref;
    if (!reachInterface(handle, ref))
        return false;
    const libusb_interface_descriptor *setting
        = libusbAlternateSetting(ref.device->config->interface[ref.interfaceIndex], alternateSetting);
    if (!setting || pipeIndex >= setting->bNumEndpoints)
        return false;
    pipe = libusbPipeInformation(setting->endpoint[pipeIndex]);
    return true;
}

bool LibusbHost::controlTransfer(UsbInterfaceHandle handle, const UsbSetupPacket &setup, uint8_t *buffer,
    uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    InterfaceRef ref;
    if (!reachInterface(handle, ref) || length > 0xFFFF)
        return false;
    const TransferScope transfer(*this);
    const int result = libusb_control_transfer(ref.device->handle, setup.RequestType, setup.Request,
        setup.Value, setup.Index, buffer, uint16_t(length), controlTimeoutMs);
    if (result < 0)
        return false;
    transferred = uint32_t(result);
    return true;
}

const libusb_endpoint_descriptor *LibusbHost::findPipe(const InterfaceRef &ref, uint8_t pipeId)
{
    const libusb_interface_descriptor *setting
        = libusbAlternateSetting(ref.device->config->interface[ref.interfaceIndex], 0);
    for (int i = 0; setting && i < setting->bNumEndpoints; ++i) {
        if (setting->endpoint[i].bEndpointAddress == pipeId)
            return &setting->endpoint[i];
    }
    return nullptr;
}

bool LibusbHost::pipeTransfer(
    UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    transferred = 0;
    InterfaceRef ref;
    if (!reachInterface(handle, ref) || length > uint32_t(INT_MAX))
        return false;
    // Only a pipe of this interface's setting, of the kind it says it is.
    const libusb_endpoint_descriptor *endpoint = findPipe(ref, pipeId);
    if (!endpoint)
        return false;
    const TransferScope transfer(*this);
    int moved = 0;
    const bool interrupt
        = (endpoint->bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_INTERRUPT;
    const int result = interrupt
        ? libusb_interrupt_transfer(ref.device->handle, pipeId, buffer, int(length), &moved, pipeTimeoutMs)
        : libusb_bulk_transfer(ref.device->handle, pipeId, buffer, int(length), &moved, pipeTimeoutMs);
    transferred = uint32_t(std::max(moved, 0));
    return result == LIBUSB_SUCCESS;
}

bool LibusbHost::readPipe(
    UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    if (!(pipeId & UsbEndpointDirectionIn)) {
        transferred = 0;
        return false;
    }
    return pipeTransfer(handle, pipeId, buffer, length, transferred);
}

bool LibusbHost::writePipe(
    UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length, uint32_t &transferred)
{
    if (pipeId & UsbEndpointDirectionIn) {
        transferred = 0;
        return false;
    }
    // libusb takes one buffer type for both directions and does not write to an OUT buffer.
    return pipeTransfer(handle, pipeId, const_cast<uint8_t *>(buffer), length, transferred);
}

bool LibusbHost::writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer,
    uint32_t length, uint32_t batchSize, uint32_t depth, const BatchWritten &written)
{
    InterfaceRef ref;
    const libusb_endpoint_descriptor *endpoint = nullptr;
    if (reachInterface(handle, ref))
        endpoint = findPipe(ref, pipeId);
    const bool bulkOut = endpoint && !(pipeId & UsbEndpointDirectionIn)
        && (endpoint->bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
    if (!bulkOut || depth <= 1 || batchSize > uint32_t(INT_MAX))
        return UsbHost::writePipeBatches(handle, pipeId, buffer, length, batchSize, depth, written);
    // ref keeps the device open until the last transfer has ended.
    const TransferScope scope(*this);
    LibusbQueuedTransfers transfers(m_context, ref.device->handle, pipeId, pipeTimeoutMs, depth);
    return UsbBatchQueue::write(transfers, buffer, length, batchSize, depth, written);
}
