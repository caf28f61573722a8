#pragma once

// The bookkeeping of a pipelined bulk write, for hosts whose platform can
// have several transfers on one pipe at once: keeps up to `depth` batches
// submitted, reports completed batches strictly in order, and on the first
// failure cancels what is still in flight and waits until all of it has
// ended. The platform calls sit behind Transfers, so the same rules serve
// every host and can be tested without one. Free of Qt.
//
// Threads: runs on the calling thread; Transfers is called only from there.

#include "usb/host/usbhost.h"

#include <cstdint>

class UsbBatchQueue
{
public:
    // One pipe's asynchronous transfers as the platform offers them.
    class Transfers
    {
    public:
        virtual ~Transfers() = default;
        // Starts the write of one batch; false when it could not be started
        // (it then needs no completion).
        virtual bool submit(uint32_t batch, const uint8_t *data, uint32_t length) = 0;
        // Blocks until one submitted batch has ended, successfully, with an
        // error or cancelled, and tells which and how many bytes it moved.
        // Only called while at least one batch is in flight.
        virtual void waitForOne(uint32_t &batch, bool &ok, uint32_t &transferred) = 0;
        // Asks an in-flight batch to end early; it still ends through waitForOne.
        virtual void cancel(uint32_t batch) = 0;
    };

    // The contract of UsbHost::writePipeBatches on top of transfers.
    static bool write(Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize,
        uint32_t depth, const UsbHost::BatchWritten &written);
};
