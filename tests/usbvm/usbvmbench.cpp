// Throughput of 1 MiB sent to the Vantor gadget in 256-byte batches: a
// flash through the tool's whole stack (loader, driver, USB layer, libusb
// host) with its queued batches and one at a time, the USB layer alone
// (USBEndpoint::write, one at a time), plain loops of libusb's
// synchronous bulk writes (with and without a second thread handling
// libusb's events, as the host's hot-plug thread does), and libusb with
// several asynchronous transfers in flight. The same bytes in the same
// transfers; every way runs several rounds, interleaved, and the median
// counts. Runs in the virtual machine of run-usb-vm.sh.

#include "protocol/bulktransferwithbatches.h"
#include "usbvmflashrig.h"

#include <libusb.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int batchSize = 256;
constexpr int batchCount = 4096; // 1 MiB
constexpr int inFlight = 8;
constexpr int rounds = 3;

// Nanoseconds one round took, or a negative value when it did not complete.
using Measurement = qint64;

Measurement wholeStack(const std::shared_ptr<LibusbHost> &host, const QString &file, int queueDepth)
{
    BulkTransferWithBatches::setQueueDepth(queueDepth);
    // The previous round's device may still be coming back into its application.
    usbvmWaitFor([&] { return !usbvmDevicePath(*host).isEmpty(); }, 60000);
    FlashRig rig(host);
    rig.handOver();
    if (rig.attached.count() != 1) {
        std::printf("usbvm-bench: no device to flash\n");
        return -1;
    }
    QElapsedTimer clock;
    qint64 firstBatch = -1;
    qint64 lastBatch = -1;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, [&](int percent) {
        // The batches only: from the first progress report (before the first
        // batch) to the last (after it), not the mode switch or the busy wait.
        if (firstBatch < 0)
            firstBatch = clock.nsecsElapsed();
        if (percent == 100)
            lastBatch = clock.nsecsElapsed();
    });
    clock.start();
    emit rig.proxy.flashFirmware(usbvmFirmware(file, 400, batchSize * batchCount));
    rig.awaitFlashes(1, 180000);
    const bool complete = rig.reprogrammed.count() == 1 && rig.failed.isEmpty() && lastBatch > firstBatch;
    if (!complete) {
        std::printf("usbvm-bench: flash ended with %d successes, %d failures, batches from %lld to %lld ns\n",
            int(rig.reprogrammed.count()), int(rig.failed.count()), firstBatch, lastBatch);
    }
    // Back to the application, so every round starts alike.
    emit rig.proxy.startApp();
    usbvmWaitFor(
        [&] {
            const QString path = usbvmDevicePath(*host);
            return !path.isEmpty() && usbvmInterfaceProtocol(path) == usbvmApplicationMode;
        },
        60000);
    return complete ? lastBatch - firstBatch : -1;
}

Measurement usbLayer(const std::shared_ptr<LibusbHost> &host)
{
    // A round after a flash starts while the device enumerates in its application mode again.
    usbvmWaitFor([&] { return !usbvmDevicePath(*host).isEmpty(); });
    const auto driver = usbvmDriver(host);
    if (driver->devices().size() != 1) {
        std::printf("usbvm-bench: the USB layer found %d devices\n", int(driver->devices().size()));
        return -1;
    }
    USBInterface *usbInterface = driver->devices().first()->interfaces().first();
    usbInterface->controlOut(UsbvmResetCounters, 0, QByteArray());
    USBEndpoint *out = usbvmPipe(usbInterface, false);
    const QByteArray batch(batchSize, '\xa5');
    QElapsedTimer timer;
    timer.start();
    bool written = true;
    for (int i = 0; i < batchCount && written; ++i)
        written = out->write(batch);
    const qint64 elapsed = timer.nsecsElapsed();
    return written && usbvmCounters(usbInterface).first == uint32_t(batchSize * batchCount) ? elapsed : -1;
}

// The device opened straight through libusb, with its bulk-out pipe.
struct PlainDevice
{
    libusb_context *context = nullptr;
    libusb_device_handle *handle = nullptr;
    uint8_t outPipe = 0;

    PlainDevice()
    {
        if (libusb_init(&context) != LIBUSB_SUCCESS)
            return;
        handle = libusb_open_device_with_vid_pid(context, usbvmVendorId, usbvmProductId);
        libusb_config_descriptor *config = nullptr;
        if (!handle || libusb_claim_interface(handle, 0) != LIBUSB_SUCCESS
            || libusb_get_active_config_descriptor(libusb_get_device(handle), &config) != LIBUSB_SUCCESS)
            return;
        const libusb_interface_descriptor &setting = config->interface[0].altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            if (!(setting.endpoint[i].bEndpointAddress & LIBUSB_ENDPOINT_IN))
                outPipe = setting.endpoint[i].bEndpointAddress;
        }
        libusb_free_config_descriptor(config);
        libusb_control_transfer(handle, 0x41, UsbvmResetCounters, 0, 0, nullptr, 0, 5000);
    }
    ~PlainDevice()
    {
        if (handle) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (context)
            libusb_exit(context);
    }

    bool everyByteArrived()
    {
        uint8_t counters[8] = {};
        if (libusb_control_transfer(handle, 0xC1, UsbvmReadCounters, 0, 0, counters, 8, 5000) != 8)
            return false;
        const uint32_t received
            = counters[0] | counters[1] << 8 | counters[2] << 16 | uint32_t(counters[3]) << 24;
        if (received != uint32_t(batchSize * batchCount))
            std::printf("usbvm-bench: the device received %u bytes\n", received);
        return received == uint32_t(batchSize * batchCount);
    }
};

Measurement plainSynchronous(bool eventThread)
{
    PlainDevice device;
    if (!device.outPipe)
        return -1;
    std::atomic<bool> stop {false};
    std::thread events;
    if (eventThread) {
        events = std::thread([&] {
            while (!stop) {
                timeval wait {0, 250000};
                libusb_handle_events_timeout_completed(device.context, &wait, nullptr);
            }
        });
    }
    std::vector<uint8_t> batch(batchSize, 0xA5);
    QElapsedTimer timer;
    timer.start();
    bool written = true;
    for (int i = 0; i < batchCount && written; ++i) {
        int moved = 0;
        const int result
            = libusb_bulk_transfer(device.handle, device.outPipe, batch.data(), batchSize, &moved, 5000);
        written = result == LIBUSB_SUCCESS && moved == batchSize;
        if (!written)
            std::printf("usbvm-bench: write %d: %s, %d bytes\n", i, libusb_error_name(result), moved);
    }
    const qint64 elapsed = timer.nsecsElapsed();
    stop = true;
    if (events.joinable()) {
        libusb_interrupt_event_handler(device.context);
        events.join();
    }
    return written && device.everyByteArrived() ? elapsed : -1;
}

struct Pipeline
{
    int submitted = 0;
    int completed = 0;
    bool failed = false;
};

void LIBUSB_CALL onTransferDone(libusb_transfer *transfer)
{
    auto *pipeline = static_cast<Pipeline *>(transfer->user_data);
    ++pipeline->completed;
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED || transfer->actual_length != batchSize) {
        pipeline->failed = true;
        return;
    }
    if (pipeline->submitted < batchCount && !pipeline->failed) {
        if (libusb_submit_transfer(transfer) == LIBUSB_SUCCESS)
            ++pipeline->submitted;
        else
            pipeline->failed = true;
    }
}

Measurement plainAsynchronous()
{
    PlainDevice device;
    if (!device.outPipe)
        return -1;
    std::vector<std::vector<uint8_t>> buffers(inFlight, std::vector<uint8_t>(batchSize, 0xA5));
    std::vector<libusb_transfer *> transfers;
    Pipeline pipeline;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < inFlight; ++i) {
        libusb_transfer *transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(transfer, device.handle, device.outPipe, buffers[i].data(), batchSize,
            onTransferDone, &pipeline, 5000);
        transfers.push_back(transfer);
        if (libusb_submit_transfer(transfer) == LIBUSB_SUCCESS)
            ++pipeline.submitted;
    }
    while (pipeline.completed < pipeline.submitted) {
        if (libusb_handle_events(device.context) != LIBUSB_SUCCESS)
            break;
    }
    const qint64 elapsed = timer.nsecsElapsed();
    for (libusb_transfer *transfer : transfers)
        libusb_free_transfer(transfer);
    const bool complete = !pipeline.failed && pipeline.completed == batchCount && device.everyByteArrived();
    return complete ? elapsed : -1;
}

struct Way
{
    const char *name;
    std::function<Measurement()> run;
    std::vector<Measurement> rounds;
};

qint64 median(std::vector<Measurement> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    DeviceSide::registerMetaTypes();
    usbvmSetPlugged(true);
    auto host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    usbvmWaitFor([&] { return usbvmListedPaths(*host).size() == 1; });
    QTemporaryDir files;
    const QString firmwareFile = files.filePath(QStringLiteral("bench.tvf"));

    std::vector<Way> ways = {
        {"whole stack, 8 batches queued (default)",
            [&] { return wholeStack(host, firmwareFile, BulkTransferWithBatches::defaultQueueDepth); }, {}},
        {"whole stack, one batch at a time", [&] { return wholeStack(host, firmwareFile, 1); }, {}},
        {"USB layer (USBEndpoint::write)", [&] { return usbLayer(host); }, {}},
        {"libusb synchronous loop", [] { return plainSynchronous(false); }, {}},
        {"libusb synchronous, event thread beside", [] { return plainSynchronous(true); }, {}},
        {"libusb asynchronous, 8 in flight", [] { return plainAsynchronous(); }, {}},
    };
    bool complete = true;
    for (int round = 0; round < rounds; ++round) {
        for (Way &way : ways) {
            const Measurement measured = way.run();
            complete = complete && measured > 0;
            way.rounds.push_back(measured);
        }
    }
    std::printf("usbvm-bench: 1 MiB in 256-byte batches, median of %d rounds (min - max)\n", rounds);
    for (const Way &way : ways) {
        const auto [least, most] = std::minmax_element(way.rounds.begin(), way.rounds.end());
        const double seconds = double(median(way.rounds)) / 1e9;
        std::printf("usbvm-bench: %-42s %7.0f ms (%5.0f - %5.0f) %6.0f KiB/s\n", way.name, seconds * 1e3,
            double(*least) / 1e6, double(*most) / 1e6, batchSize * double(batchCount) / 1024.0 / seconds);
    }
    if (complete) {
        const double plain = double(median(ways[3].rounds));
        std::printf("usbvm-bench: time against the plain synchronous loop:");
        for (const Way &way : ways)
            std::printf(" %.2f", double(median(way.rounds)) / plain);
        std::printf("\n");
    } else {
        std::printf("usbvm-bench: a round did not complete\n");
    }
    return complete ? 0 : 1;
}
