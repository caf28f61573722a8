#include "usb/usbdevice.h"

#include "usb/usbinterface.h"
#include "usb/usbinterfacehandler.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QThread>

namespace {

// Devices that exist, with the identity each was built with. Other threads
// meet a device only through withHandlers, which holds this lock while the
// device's own thread holds it to change the handler map or to delete.
QMutex liveDevicesMutex;
QHash<const USBDevice *, USBDriver::TDeviceID> liveDevices; // guarded by liveDevicesMutex

} // namespace

USBDevice::USBDevice(const QString &path, USBDriver *driver)
    : QObject(driver)
    , m_path(path)
    , m_driver(driver)
{
    if (open())
        closeOnError([this] { gatherInterfaces(); });
    QMutexLocker locker(&liveDevicesMutex);
    liveDevices.insert(this, m_identity);
}

USBDevice::~USBDevice()
{
    // Before the interfaces and handlers go with the QObject children.
    {
        QMutexLocker locker(&liveDevicesMutex);
        liveDevices.remove(this);
    }
    close();
}

bool USBDevice::withHandlers(const USBDevice *device, const USBDriver::TDeviceID &id,
    const std::function<void(const HandlerMap &)> &use)
{
    QMutexLocker locker(&liveDevicesMutex);
    const auto found = liveDevices.constFind(device);
    if (found == liveDevices.constEnd() || found.value() != id)
        return false;
    use(device->m_handlers);
    return true;
}

UsbHost *USBDevice::host() const
{
    return m_driver->host();
}

bool USBDevice::isAttached() const
{
    return m_opened && host()->isAttached(m_fileHandle);
}

bool USBDevice::open()
{
    if (m_opened)
        return false;
    // A longer path does not fit the platform's buffer; refuse it before any call.
    if (m_path.size() >= maxPathLength) {
        m_openError = UsbOpenError::NotPresent;
        return false;
    }
    UsbHost *usb = host();
    UsbFileHandle file = UsbFileHandle::Invalid;
    m_openError = UsbOpenError::Failed;
    if (!usb->openFile(m_path.toStdU16String(), file, m_openError))
        return false;
    m_openError = UsbOpenError::Failed;
    UsbInterfaceHandle defaultHandle = UsbInterfaceHandle::Invalid;
    if (!usb->initialize(file, defaultHandle)) {
        usb->closeFile(file);
        return false;
    }

    UsbDeviceDescriptor deviceDescriptor {};
    UsbConfigurationDescriptor configurationDescriptor {};
    const auto readWhole = [&](uint8_t type, void *record, uint32_t size) {
        uint32_t transferred = 0;
        return usb->getDescriptor(
                   defaultHandle, type, 0, 0, static_cast<uint8_t *>(record), size, transferred)
            && transferred == size;
    };
    if (!readWhole(UsbDeviceDescriptorType, &deviceDescriptor, sizeof deviceDescriptor)
        || !readWhole(
            UsbConfigurationDescriptorType, &configurationDescriptor, sizeof configurationDescriptor)) {
        usb->freeInterface(defaultHandle);
        usb->closeFile(file);
        return false;
    }

    m_fileHandle = file;
    m_defaultHandle = defaultHandle;
    m_acquiredHandles = {defaultHandle};
    m_deviceDescriptor = deviceDescriptor;
    m_configurationDescriptor = configurationDescriptor;
    const uint8_t serialIndex = m_deviceDescriptor.iSerialNumber;
    m_identity = {usbWordValue(m_deviceDescriptor.idVendor), usbWordValue(m_deviceDescriptor.idProduct),
        serialIndex == 0 ? QString() : readStringDescriptor(serialIndex, 0)};
    m_opened = true;
    m_openError = UsbOpenError::None;
    QMutexLocker locker(&liveDevicesMutex);
    const auto registered = liveDevices.find(this);
    if (registered != liveDevices.end())
        registered.value() = m_identity;
    return true;
}

QString USBDevice::readStringDescriptor(uint8_t index, uint16_t languageId)
{
    UsbHost *usb = host();
    uint8_t head[4] = {};
    uint32_t transferred = 0;
    if (!usb->getDescriptor(
            m_defaultHandle, UsbStringDescriptorType, index, languageId, head, sizeof head, transferred)
        || transferred != sizeof head)
        return QString();
    const uint8_t length = head[0];
    uint8_t text[256] = {};
    if (!usb->getDescriptor(
            m_defaultHandle, UsbStringDescriptorType, index, languageId, text, length, transferred)
        || transferred != length)
        return QString();
    if (length < 2)
        return QString();
    QString result;
    for (int i = 0; i < (length - 2) / 2; ++i)
        result.append(QChar(ushort(text[2 + 2 * i] | text[3 + 2 * i] << 8)));
    return result;
}

bool USBDevice::close()
{
    if (!m_opened)
        return false;
    UsbHost *usb = host();
    for (USBInterface *usbInterface : qAsConst(m_interfaces)) {
        if (m_acquiredHandles.removeOne(usbInterface->handle()))
            usb->freeInterface(usbInterface->handle());
        // Until a reopen or reconnect rebinds it, the interface must not
        // reach the host with the handle just freed.
        usbInterface->unbind();
    }
    // Handles that no recorded interface holds: one whose interface could not
    // be built, or whose entry a later interface with the same number took.
    for (UsbInterfaceHandle orphan : qAsConst(m_acquiredHandles))
        usb->freeInterface(orphan);
    m_acquiredHandles.clear();
    const bool closed = usb->closeFile(m_fileHandle);
    m_opened = false;
    return closed;
}

bool USBDevice::reopen(int timeoutMs)
{
    close();
    QElapsedTimer timer;
    timer.start();
    // Tried at least once: a thread held up before its first try has not
    // given the device its time.
    for (;;) {
        if (open()) {
            closeOnError([this] { rescanInterfaces(); });
            return true;
        }
        // Checked after a try, so that a time-out of 0 tries exactly once
        // and no pause runs past the time-out.
        const qint64 left = timeoutMs < 0 ? qint64(reopenRetryPauseMs) : timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(reopenRetryPauseMs, left)));
    }
}

void USBDevice::reconnect()
{
    // The interface objects are rebound rather than replaced: whoever holds
    // one (the protocol side keeps its handler and interface) then talks to
    // the device through a live handle, never a freed one.
    if (open())
        closeOnError([this] { rescanInterfaces(); });
}

template <typename Step> void USBDevice::closeOnError(Step step)
{
    try {
        step();
    } catch (...) {
        close();
        throw;
    }
}

UsbInterfaceHandle USBDevice::associatedInterface(uint8_t index)
{
    UsbInterfaceHandle associated = UsbInterfaceHandle::Invalid;
    if (!host()->getAssociatedInterface(m_defaultHandle, index, associated))
        throw InterfaceQueringException();
    m_acquiredHandles.append(associated);
    return associated;
}

void USBDevice::gatherInterfaces()
{
    addInterface(m_defaultHandle);
    for (int i = 0; i < int(m_configurationDescriptor.bNumInterfaces) - 1; ++i)
        addInterface(associatedInterface(uint8_t(i)));
}

USBInterface *USBDevice::addInterface(UsbInterfaceHandle handle)
{
    auto *usbInterface = new USBInterface(this, handle);
    // A device that names one number twice keeps the interface it named
    // first: a second object under the same number would be followed by no
    // rebind and keep a freed handle. The handle is freed at close.
    if (m_interfaces.contains(usbInterface->interfaceNumber())) {
        delete usbInterface;
        return nullptr;
    }
    m_interfaces.insert(usbInterface->interfaceNumber(), usbInterface);
    const auto factories = m_driver->handlerFactories();
    for (const auto &factory : factories) {
        if (UsbInterfaceHandler *handler = factory->createHandler(usbInterface)) {
            QMutexLocker locker(&liveDevicesMutex);
            m_handlers.insert(usbInterface, handler);
        }
    }
    return usbInterface;
}

uint8_t USBDevice::updateInterface(UsbInterfaceHandle handle)
{
    UsbInterfaceDescriptor descriptor {};
    if (!host()->queryInterfaceSettings(handle, 0, descriptor))
        throw InterfaceQueringException();
    const uint8_t number = descriptor.bInterfaceNumber;
    if (USBInterface *existing = m_interfaces.value(number)) {
        existing->rebind(handle);
        // The interface read its descriptor again; a device whose answer
        // changed in between cannot be followed.
        if (existing->interfaceNumber() != number)
            throw InterfaceQueringException();
        return number;
    }
    const USBInterface *added = addInterface(handle);
    return added ? added->interfaceNumber() : number;
}

void USBDevice::rescanInterfaces()
{
    QSet<uint8_t> present {updateInterface(m_defaultHandle)};
    for (int i = 0; i < int(m_configurationDescriptor.bNumInterfaces) - 1; ++i)
        present.insert(updateInterface(associatedInterface(uint8_t(i))));
    const auto numbers = m_interfaces.keys();
    for (uint8_t number : numbers) {
        if (!present.contains(number))
            dropInterface(number);
    }
}

void USBDevice::dropInterface(uint8_t interfaceNumber)
{
    QMutexLocker locker(&liveDevicesMutex);
    USBInterface *gone = m_interfaces.take(interfaceNumber);
    m_handlers.remove(gone);
    // Its handler may be the one whose operation is reopening the device;
    // it goes once that operation has returned, and meanwhile reaches nothing.
    gone->unbind();
    gone->deleteLater();
}
