// Throughput of 1 MiB sent to the test gadget in 256-byte batches, three
// ways: through the USB layer (USBEndpoint::write on the libusb host), with a
// plain loop of libusb's synchronous bulk writes, and with several libusb
// asynchronous transfers in flight. The same bytes in the same transfers;
// the gadget's counters confirm that every byte arrived. Runs in the virtual
// machine of run-usb-vm.sh and prints one line per way.

#include "usbvmsupport.h"

#include <libusb.h>

#include <QElapsedTimer>

#include <cstdio>
#include <vector>

namespace {

constexpr int batchSize = 256;
constexpr int batchCount = 4096; // 1 MiB
constexpr int inFlight = 8;

struct Run
{
    const char *name;
    qint64 nanoseconds = 0;
    bool complete = false;
};

void report(const Run &run)
{
    const double seconds = double(run.nanoseconds) / 1e9;
    std::printf("usbvm-bench: %-40s %s %8.1f ms %8.1f KiB/s\n", run.name, run.complete ? "ok    " : "FAILED",
        seconds * 1e3, batchSize * double(batchCount) / 1024.0 / seconds);
}

Run throughUsbLayer()
{
    Run run {"USB layer (USBEndpoint::write)"};
    auto host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    const auto driver = usbvmDriver(host);
    if (driver->devices().size() != 1)
        return run;
    USBInterface *usbInterface = driver->devices().first()->interfaces().first();
    usbInterface->controlOut(UsbvmResetCounters, 0, QByteArray());
    USBEndpoint *out = usbvmPipe(usbInterface, false);
    const QByteArray batch(batchSize, '\xa5');
    QElapsedTimer timer;
    timer.start();
    bool written = true;
    for (int i = 0; i < batchCount && written; ++i)
        written = out->write(batch);
    run.nanoseconds = timer.nsecsElapsed();
    run.complete = written && usbvmCounters(usbInterface).first == uint32_t(batchSize * batchCount);
    return run;
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

Run plainSynchronous()
{
    Run run {"libusb synchronous loop"};
    PlainDevice device;
    if (!device.outPipe)
        return run;
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
    run.nanoseconds = timer.nsecsElapsed();
    run.complete = written && device.everyByteArrived();
    return run;
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

Run plainAsynchronous()
{
    Run run {"libusb asynchronous, 8 transfers in flight"};
    PlainDevice device;
    if (!device.outPipe)
        return run;
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
    run.nanoseconds = timer.nsecsElapsed();
    for (libusb_transfer *transfer : transfers)
        libusb_free_transfer(transfer);
    run.complete = !pipeline.failed && pipeline.completed == batchCount && device.everyByteArrived();
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    usbvmSetPlugged(true);
    auto probe = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    usbvmWaitFor([&] { return usbvmListedPaths(*probe).size() == 1; });
    probe.reset();

    const Run runs[] = {throughUsbLayer(), plainSynchronous(), plainAsynchronous()};
    bool complete = true;
    for (const Run &run : runs) {
        report(run);
        complete = complete && run.complete;
    }
    if (complete) {
        std::printf(
            "usbvm-bench: USB layer / plain synchronous time %.2f; asynchronous / synchronous time %.2f\n",
            double(runs[0].nanoseconds) / double(runs[1].nanoseconds),
            double(runs[2].nanoseconds) / double(runs[1].nanoseconds));
    }
    return complete ? 0 : 1;
}
