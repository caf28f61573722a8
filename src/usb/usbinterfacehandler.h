#pragma once

// The extension point through which the protocol side attaches itself to
// interfaces: every device asks each factory of its driver, in list order,
// for a handler for every interface it adds. Factories are called on the
// thread that adds the interface (the main thread during the driver's first
// scan, the worker thread afterwards).

#include <QObject>

class USBInterface;

class UsbInterfaceHandler : public QObject
{
    Q_OBJECT

public:
    // The handler becomes the interface's child and dies with it.
    explicit UsbInterfaceHandler(USBInterface *usbInterface);

    virtual USBInterface *usbInterface();

private:
    USBInterface *m_usbInterface;
};

class UsbInterfaceHandlerFactory : public QObject
{
public:
    // A new handler for the interface, or null when this factory does not
    // serve it. The factory chooses the handler's parent.
    virtual UsbInterfaceHandler *createHandler(USBInterface *usbInterface) = 0;
};
