#pragma once

// The rules of a pipelined bulk write, for hosts whose platform can have
// several transfers on one pipe at once. The queue decides everything: which
// batch to submit next, keeping up to `depth` in flight and refilling the
// pipe from each completion; on the first failure it cancels what is still
// in flight and submits nothing more; it reports completed batches strictly
// in order and ends once nothing is in flight. A host only submits a batch,
// cancels one, and reports each batch's end back. Free of Qt.
//
// Threads: write() and the written callback run on the calling thread; a
// host may report ends from any thread (for example its completion
// callback), and the queue then submits and cancels from that thread.

#include "usb/host/usbhost.h"

#include <cstdint>
#include <mutex>
#include <vector>

class UsbBatchQueue
{
public:
    // One pipe's asynchronous transfers as the platform offers them.
    // submit and cancel are called under the queue's lock, one at a time.
    class Transfers
    {
    public:
        virtual ~Transfers() = default;
        // Starts the write of one batch; false when it could not be started
        // (it then needs no end). The batches in flight always lie within
        // `depth` consecutive ones, so batch n may take slot n % depth.
        virtual bool submit(uint32_t batch, const uint8_t *data, uint32_t length) = 0;
        // Asks an in-flight batch to end early; it still reports its end.
        virtual void cancel(uint32_t batch) = 0;
        // Called on the writing thread while a batch is in flight: returns
        // once a batch has reported its end since the last return, or after
        // a bounded wait (the queue then simply waits again).
        virtual void awaitEnds() = 0;
        // Called within ended(), after the end counts and before the writer
        // can see it: where a host whose ends arrive on another thread wakes
        // the writer, and its last touch of itself, for the writer may then
        // return and destroy it.
        virtual void wakeWriter() { }

    protected:
        // Reports, once per submitted batch, how it ended: successfully or
        // not, and how many bytes it moved. Never from within submit or
        // cancel; may submit further batches before it returns. Once the
        // last end is reported the write may return at any moment.
        void ended(uint32_t batch, bool ok, uint32_t transferred);

    private:
        friend class UsbBatchQueue;
        UsbBatchQueue *m_queue = nullptr;
    };

    // The contract of UsbHost::writePipeBatches on top of transfers.
    static bool write(Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize,
        uint32_t depth, const UsbHost::BatchWritten &written);

private:
    enum class State : uint8_t { Waiting, InFlight, Done, Failed };

    UsbBatchQueue(Transfers &transfers, const uint8_t *buffer, uint32_t length, uint32_t batchSize,
        uint32_t depth);
    bool run(const UsbHost::BatchWritten &written);
    void ended(uint32_t batch, bool ok, uint32_t transferred);
    uint32_t sizeOf(uint32_t batch) const;
    // Under m_mutex.
    void fillLocked();
    void stopLocked(uint32_t failedBatch);

    Transfers &m_transfers;
    const uint8_t *const m_buffer;
    const uint32_t m_length;
    const uint32_t m_batchSize;
    const uint32_t m_depth;
    const uint32_t m_count;

    std::mutex m_mutex; // guards everything below: ends arrive on the host's threads
    std::vector<State> m_states;
    uint32_t m_nextToSubmit = 0;
    // The oldest batch not yet ended well; the window of `depth` starts here,
    // so that a late batch never lets later ones pile up without bound.
    uint32_t m_nextEnded = 0;
    uint32_t m_nextToReport = 0;
    uint32_t m_inFlight = 0;
    // The first batch that failed; nothing from it on is reported.
    uint32_t m_firstFailed;
    bool m_stopped = false;
};
