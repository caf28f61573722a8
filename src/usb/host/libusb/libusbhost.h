#pragma once

// The host on libusb-1.0 (Linux; macOS where it builds). Lists the present
// devices that have an interface of the wanted class, each under the path of
// the port it sits in; opens a device exclusively by claiming all its
// interfaces and never takes an interface from a kernel driver (a device
// with such an interface belongs to someone else and is neither listed nor
// opened). Descriptors, interfaces and pipes come from libusb's copies of
// the descriptors; transfers are libusb's synchronous calls with time-outs.
// Free of Qt.
//
// Threads: any thread may call any operation. A thread of the host's own
// handles libusb's events and calls the change listeners there; while the
// host's transfers run, the threads waiting for them handle the events
// instead (see runEvents), so a listener may then be called on one of them.

#include "usb/host/usbchangelisteners.h"
#include "usb/host/usbhost.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct libusb_context;
struct libusb_device;
struct libusb_endpoint_descriptor;

class LibusbHost : public UsbHost
{
public:
    // The longest a control transfer or a pipe transfer may take before it
    // fails; the device answers in milliseconds when it answers at all.
    static constexpr unsigned int controlTimeoutMs = UsbHost::transferTimeoutMs;
    static constexpr unsigned int pipeTimeoutMs = UsbHost::transferTimeoutMs;

    explicit LibusbHost(const UsbInterfaceMatch &match);
    ~LibusbHost() override;

    // Whether libusb could be started at all; without it the host sees nothing.
    bool isAvailable() const { return m_context != nullptr; }
    // Whether plugging and unplugging reach the change listeners; without
    // it, whoever wants to follow the bus must ask again now and then.
    bool hasHotplug() const { return m_hotplugRegistered; }

    // How long no transfer must have run or started before the event thread comes back.
    static constexpr std::chrono::milliseconds eventThreadReturnAfter {100};

    // Called after a device arrived or left, on whichever thread handles libusb's events.
    // A listener must not call back into the host.
    int addChangeListener(std::function<void()> listener);
    void removeChangeListener(int listenerId);
    // Tells every listener that the bus changed; the hot-plug callback's way in.
    void notifyListeners();

    // The device list itself ignores the GUID: libusb knows no interface
    // classes, so the interface match given at construction stands for it.
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
    // Keeps up to depth of libusb's asynchronous transfers on the pipe.
    bool writePipeBatches(UsbInterfaceHandle handle, uint8_t pipeId, const uint8_t *buffer, uint32_t length,
        uint32_t batchSize, uint32_t depth, const BatchWritten &written) override;

private:
    struct OpenDevice;
    struct InterfaceRef
    {
        std::shared_ptr<OpenDevice> device;
        int interfaceIndex; // into the active configuration's interfaces
    };

    std::u16string portPath(libusb_device *device) const;
    bool isListed(libusb_device *device) const;
    bool kernelDriverHoldsAnInterface(libusb_device *device) const;
    std::shared_ptr<OpenDevice> openDevice(UsbFileHandle file) const;
    bool reachInterface(UsbInterfaceHandle handle, InterfaceRef &ref) const;
    // The endpoint of the handle's interface (alternate setting 0) with that address, or null.
    static const libusb_endpoint_descriptor *findPipe(const InterfaceRef &ref, uint8_t pipeId);
    UsbInterfaceHandle issueInterface(const std::shared_ptr<OpenDevice> &device, int interfaceIndex);
    bool pipeTransfer(
        UsbInterfaceHandle handle, uint8_t pipeId, uint8_t *buffer, uint32_t length, uint32_t &transferred);
    void runEvents();
    // Around every transfer: the calling thread handles libusb's events
    // while it waits, so the event thread stands aside.
    void beginTransfer();
    void endTransfer();
    class TransferScope
    {
    public:
        explicit TransferScope(LibusbHost &host)
            : m_host(host)
        {
            m_host.beginTransfer();
        }
        ~TransferScope() { m_host.endTransfer(); }
        TransferScope(const TransferScope &) = delete;
        TransferScope &operator=(const TransferScope &) = delete;

    private:
        LibusbHost &m_host;
    };

    const UsbInterfaceMatch m_match;
    libusb_context *m_context = nullptr;
    bool m_hotplugRegistered = false;
    int m_hotplugHandle = 0;
    std::atomic<bool> m_stopping {false};
    std::thread m_eventThread;

    // Atomics, so that a transfer costs no lock and no clock: the mutex
    // only orders the event thread's going aside and coming back.
    std::mutex m_eventsMutex;
    std::condition_variable m_eventsResume;
    std::atomic<int> m_transfersRunning {0};
    std::atomic<unsigned int> m_transfersStarted {0};
    std::atomic<bool> m_eventThreadAside {false};

    mutable std::mutex m_mutex; // guards m_files, m_interfaces and m_nextHandle
    std::map<std::uintptr_t, std::shared_ptr<OpenDevice>> m_files;
    std::map<std::uintptr_t, InterfaceRef> m_interfaces;
    std::uintptr_t m_nextHandle = 1;

    UsbChangeListeners m_changeListeners;
};
