#pragma once

// The USB side of the program: the loader factory, the driver on its worker
// thread "USB driver thread", and the single-device proxy, built, connected
// to the window and torn down in a fixed order. Main thread.

#include <QList>
#include <QSharedPointer>

#include <memory>

class FlashDialog;
class OneDeviceUsbLoaderProxy;
class QThread;
class USBDriver;
class UsbInterfaceHandlerFactory;
class usbLoaderFactory;

class DeviceSide
{
public:
    // Creates the factory and the driver on the program's device platform
    // (whose first scan runs here), moves the driver to its started worker
    // thread, and creates the proxy.
    DeviceSide();
    // Destroys the proxy, waits for the worker thread to finish, then
    // destroys the thread, the driver with all its devices, and the factory.
    ~DeviceSide();

    DeviceSide(const DeviceSide &) = delete;
    DeviceSide &operator=(const DeviceSide &) = delete;

    // Connects the proxy and the driver to the window, then hands the proxy
    // the devices the first scan found before any connection existed.
    void connectWindow(FlashDialog *window);
    // Asks the worker thread's event loop to end; an operation under way
    // there runs to its end first.
    void quit();

    USBDriver *driver() const { return m_driver.get(); }
    OneDeviceUsbLoaderProxy *proxy() const { return m_proxy.get(); }
    QThread *workerThread() const { return m_thread.get(); }

private:
    QSharedPointer<usbLoaderFactory> m_factory;
    QList<QSharedPointer<UsbInterfaceHandlerFactory>> m_factories;
    std::unique_ptr<USBDriver> m_driver;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<OneDeviceUsbLoaderProxy> m_proxy;
};
