#include "app/deviceside.h"

#include "firmware/firmwarefile.h"
#include "protocol/deviceplatform.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "protocol/usbloaderfactory.h"
#include "ui/flashdialog.h"
#include "usb/inaccessibledevices.h"
#include "usb/usbdevice.h"
#include "usb/usbdriver.h"

#include <QThread>

DeviceSide::DeviceSide()
    : m_factory(QSharedPointer<usbLoaderFactory>::create())
    , m_factories({m_factory})
{
    m_driver = std::make_unique<USBDriver>(m_factories, devicePlatform());
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("USB driver thread"));
    m_driver->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::started, m_driver.get(), &USBDriver::scanDevices);
    m_thread->start(QThread::InheritPriority);
    m_proxy = std::make_unique<OneDeviceUsbLoaderProxy>();
}

DeviceSide::~DeviceSide()
{
    // The thread finishes before the proxy goes: Qt 5 can lose track of a
    // queued call's slot object (and leak it) when the receiver is destroyed
    // while another thread is emitting to it. The thread object may only go
    // once the thread has finished anyway.
    m_thread->quit();
    m_thread->wait();
    m_proxy.reset();
    m_thread.reset();
    m_driver.reset();
    m_factories.clear();
    m_factory.reset();
}

void DeviceSide::connectWindow(FlashDialog *window)
{
    OneDeviceUsbLoaderProxy *proxy = m_proxy.get();
    QObject::connect(proxy, SIGNAL(deviceAttached()), window, SLOT(onDeviceAttached()));
    QObject::connect(proxy, SIGNAL(deviceDetached()), window, SLOT(onDeviceDetached()));
    QObject::connect(proxy, SIGNAL(deviceInformationChanged(bool, QString, quint8, quint8, quint8, bool)),
        window, SLOT(onDeviceInformationChanged(bool, QString, quint8, quint8, quint8, bool)));
    QObject::connect(proxy,
        SIGNAL(firmwareInformationChanged(bool, quint8, quint8, quint8, quint32, QString)), window,
        SLOT(onFirmwareInformationChanged(bool, quint8, quint8, quint8, quint32, QString)));
    QObject::connect(window, &FlashDialog::flashFirmware, proxy, &OneDeviceUsbLoaderProxy::flashFirmware);
    QObject::connect(proxy, &OneDeviceUsbLoaderProxy::flashingProgress, window->loadingDialog,
        &LoadingDialog::setProgress);
    // After the last batch the device still writes its flash, for as long as
    // the loader's busy limit allows; the dialog says so rather than sit at
    // 100% without a word. The window sets its text afresh at every start.
    LoadingDialog *progressDialog = window->loadingDialog;
    QObject::connect(
        proxy, &OneDeviceUsbLoaderProxy::flashingProgress, progressDialog, [progressDialog](int progress) {
            if (progress == 100)
                progressDialog->setInformation(QStringLiteral("The device is finishing its write..."));
        });
    QObject::connect(
        proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed, window, &FlashDialog::onFirmwareReprogrammed);
    QObject::connect(proxy, &OneDeviceUsbLoaderProxy::flashingFailed, window, &FlashDialog::onFlashingFailed);
    QObject::connect(window, &FlashDialog::startAppRequest, proxy, &OneDeviceUsbLoaderProxy::startApp);
    QObject::connect(m_driver.get(), &USBDriver::deviceAdded, proxy, &OneDeviceUsbLoaderProxy::onDeviceAdded);
    QObject::connect(
        m_driver.get(), &USBDriver::deviceRemoved, proxy, &OneDeviceUsbLoaderProxy::onDeviceRemoved);

    InaccessibleDevices *inaccessible = m_driver->inaccessibleDevices();
    QObject::connect(
        inaccessible, &InaccessibleDevices::changed, window, &FlashDialog::onDevicesInaccessible);
    // Told once the window is up and the event loop runs, not before it shows.
    QMetaObject::invokeMethod(
        window, [window, paths = inaccessible->paths()] { window->onDevicesInaccessible(paths); },
        Qt::QueuedConnection);

    DevicePathList *notAnswering = m_driver->notAnsweringDevices();
    QObject::connect(notAnswering, &DevicePathList::changed, window, &FlashDialog::onDevicesNotAnswering);
    QMetaObject::invokeMethod(
        window, [window, paths = notAnswering->paths()] { window->onDevicesNotAnswering(paths); },
        Qt::QueuedConnection);

    const auto found = m_driver->devicesById();
    for (auto device = found.cbegin(); device != found.cend(); ++device)
        proxy->onDeviceAdded(device.key(), device.value());
}

void DeviceSide::quit()
{
    m_thread->quit();
}
