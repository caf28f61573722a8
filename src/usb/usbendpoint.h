#pragma once

// One pipe of an interface, moving bulk data: reads on IN pipes, writes on
// OUT pipes, synchronously and without a time-out of its own. Lives on the
// worker thread with its interface and is valid until that interface's next
// rebind or its deletion.

#include "usb/host/usbdescriptors.h"
#include "usb/usbexception.h"

#include <QByteArray>
#include <QObject>

#include <functional>

class USBInterface;

class USBEndpoint : public QObject
{
    Q_OBJECT

public:
    class EndpointQueryException : public UsbException
    {
    };

    // Queries the pipe at pipeIndex of the interface's alternate setting 0;
    // throws EndpointQueryException when the host cannot.
    USBEndpoint(USBInterface *parent, uint8_t pipeIndex);

    // Reads at most buffer.size() bytes and shrinks the buffer to what
    // arrived; a failed read leaves it empty. False at once on an OUT pipe,
    // leaving the buffer untouched.
    bool read(QByteArray &buffer);
    // True only when the device accepted every byte; false at once on an IN pipe.
    bool write(const QByteArray &data);
    // Writes data as transfers of batchSize bytes with up to depth in
    // flight; written(batch) follows each batch the device took whole, in
    // order. True only when every batch was taken; after a failure nothing
    // is left in flight. False at once on an IN pipe.
    bool writeBatches(
        const QByteArray &data, int batchSize, int depth, const std::function<void(int batch)> &written);

    UsbPipeInformation pipeInformation() const { return m_pipeInformation; }
    uint8_t pipeIndex() const { return m_pipeIndex; }

private:
    bool isInPipe() const { return m_pipeInformation.PipeId & UsbEndpointDirectionIn; }

    UsbPipeInformation m_pipeInformation {};
    USBInterface *m_ownerInterface;
    uint8_t m_pipeIndex;
};
