// Throughput of 1 MiB sent to the Vantor gadget in 256-byte batches: plain
// loops of libusb's synchronous bulk writes and libusb with eight
// asynchronous transfers in flight, a flash through the tool's whole stack
// (loader, driver, USB layer, libusb host, progress to this thread) one
// batch at a time and with eight queued, the USB layer alone
// (USBEndpoint::write, one at a time), and the plain synchronous loop with
// a second thread handling libusb's events beside it. The same bytes in the
// same transfers; every way runs several rounds, interleaved, and the
// median counts. Then where the time of a batch went in each way: the CPU
// time and the wake-ups (voluntary context switches) of each thread of this
// process and of the gadget's, and the machine's time in interrupts and
// idle. Runs in the virtual machine of run-usb-vm.sh.

#include "protocol/bulktransferwithbatches.h"
#include "usbvmflashrig.h"

#include <libusb.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int batchSize = 256;
constexpr int batchCount = 4096; // 1 MiB
constexpr int inFlight = 8;
constexpr int rounds = 3;

// Nanoseconds one round took, or a negative value when it did not complete.
using Measurement = qint64;

// CPU time and wake-ups of the threads that matter, and the machine's
// interrupt and idle time, at one moment.
struct Usage
{
    struct Counts
    {
        double cpuNs = 0;
        double wakeUps = 0; // voluntary context switches
        double preempted = 0; // involuntary ones
    };
    std::map<std::string, Counts> byPart;

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static double field(const QByteArray &status, const QByteArray &key)
    {
        const int at = status.indexOf(key);
        return at < 0 ? 0 : status.mid(at + key.size()).trimmed().split('\n').first().toDouble();
    }
    void addTask(const std::string &part, const QString &taskDir)
    {
        const QByteArray status = read(taskDir + "/status");
        Counts &counts = byPart[part];
        counts.cpuNs += read(taskDir + "/schedstat").split(' ').first().toDouble();
        counts.wakeUps += field(status, "voluntary_ctxt_switches:");
        counts.preempted += field(status, "nonvoluntary_ctxt_switches:");
    }
    static std::string partOf(const QString &taskDir, bool main)
    {
        const QByteArray name = read(taskDir + "/comm").trimmed();
        if (main)
            return "main thread";
        if (name.startsWith("USB driver"))
            return "worker thread";
        if (name == "usb events")
            return "libusb event thread";
        return "other threads";
    }

    static Usage now()
    {
        Usage usage;
        const QString self = QString("/proc/%1/task").arg(getpid());
        for (const QString &task : QDir(self).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString dir = self + "/" + task;
            usage.addTask(partOf(dir, task.toInt() == getpid()), dir);
        }
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (read("/proc/" + pid + "/comm").trimmed() != "usbvm-gadget")
                continue;
            const QString tasks = "/proc/" + pid + "/task";
            for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                usage.addTask("gadget", tasks + "/" + task);
        }
        // cpu user nice system idle iowait irq softirq, in 1/100 s.
        const QList<QByteArray> cpu = read("/proc/stat").split('\n').first().simplified().split(' ');
        if (cpu.size() > 7) {
            usage.byPart["machine: interrupts"].cpuNs = (cpu[6].toDouble() + cpu[7].toDouble()) * 1e7;
            usage.byPart["machine: idle"].cpuNs = (cpu[4].toDouble() + cpu[5].toDouble()) * 1e7;
        }
        return usage;
    }

    // What happened from before to after, added to this.
    void add(const Usage &before, const Usage &after)
    {
        for (const auto &[part, counts] : after.byPart) {
            const auto old = before.byPart.find(part);
            const Counts start = old == before.byPart.end() ? Counts {} : old->second;
            Counts &sum = byPart[part];
            sum.cpuNs += counts.cpuNs - start.cpuNs;
            sum.wakeUps += counts.wakeUps - start.wakeUps;
            sum.preempted += counts.preempted - start.preempted;
        }
    }
};

// Usage during the measured part of every round of one way.
Usage *s_usage = nullptr;
Usage s_roundStart;

void startMeasuring()
{
    s_roundStart = Usage::now();
}

void stopMeasuring()
{
    if (s_usage)
        s_usage->add(s_roundStart, Usage::now());
}

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
        if (firstBatch < 0) {
            startMeasuring();
            firstBatch = clock.nsecsElapsed();
        }
        if (percent == 100) {
            lastBatch = clock.nsecsElapsed();
            stopMeasuring();
        }
    });
    // Waits in an event loop, as the window and talvex-cli do: polling here
    // would wake this thread a hundred times a second, in the middle of the
    // measured batches.
    QEventLoop loop;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed, &loop, &QEventLoop::quit);
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingFailed, &loop, &QEventLoop::quit);
    QTimer::singleShot(180000, &loop, &QEventLoop::quit);
    clock.start();
    emit rig.proxy.flashFirmware(usbvmFirmware(file, 400, batchSize * batchCount));
    loop.exec();
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
    startMeasuring();
    QElapsedTimer timer;
    timer.start();
    bool written = true;
    for (int i = 0; i < batchCount && written; ++i)
        written = out->write(batch);
    const qint64 elapsed = timer.nsecsElapsed();
    stopMeasuring();
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
            pthread_setname_np(pthread_self(), "usb events");
            while (!stop) {
                timeval wait {0, 250000};
                libusb_handle_events_timeout_completed(device.context, &wait, nullptr);
            }
        });
    }
    std::vector<uint8_t> batch(batchSize, 0xA5);
    startMeasuring();
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
    stopMeasuring();
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
    startMeasuring();
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
    stopMeasuring();
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
    Usage usage;
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

    // The first four are the comparison: the tool one at a time against the
    // plain synchronous loop, the tool queued against the plain pipeline.
    std::vector<Way> ways = {
        {"libusb synchronous loop", [] { return plainSynchronous(false); }, {}, {}},
        {"libusb asynchronous, 8 in flight", [] { return plainAsynchronous(); }, {}, {}},
        {"the tool, depth 1 (one at a time)", [&] { return wholeStack(host, firmwareFile, 1); }, {}, {}},
        {"the tool, depth 8 (default)",
            [&] { return wholeStack(host, firmwareFile, BulkTransferWithBatches::defaultQueueDepth); }, {},
            {}},
        {"USB layer (USBEndpoint::write)", [&] { return usbLayer(host); }, {}, {}},
        {"libusb synchronous, event thread beside", [] { return plainSynchronous(true); }, {}, {}},
    };
    bool complete = true;
    for (int round = 0; round < rounds; ++round) {
        for (Way &way : ways) {
            s_usage = &way.usage;
            const Measurement measured = way.run();
            s_usage = nullptr;
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
        const double plain = double(median(ways[0].rounds));
        std::printf("usbvm-bench: time against the plain synchronous loop:");
        for (const Way &way : ways)
            std::printf(" %.2f", double(median(way.rounds)) / plain);
        std::printf("\n");
        // Round by round, as the rounds are interleaved.
        std::printf("usbvm-bench: the tool at depth 1 against the synchronous loop:");
        for (int round = 0; round < rounds; ++round)
            std::printf(" %.2f", double(ways[2].rounds[round]) / double(ways[0].rounds[round]));
        std::printf("\nusbvm-bench: the tool at depth 8 against 8 in flight:");
        for (int round = 0; round < rounds; ++round)
            std::printf(" %.2f", double(ways[3].rounds[round]) / double(ways[1].rounds[round]));
        std::printf("\n");
    } else {
        std::printf("usbvm-bench: a round did not complete\n");
    }
    // Per batch, over all rounds: microseconds of CPU, wake-ups, preemptions.
    const double batches = double(rounds) * batchCount;
    for (const Way &way : ways) {
        double elapsed = 0;
        for (Measurement measured : way.rounds)
            elapsed += double(std::max<Measurement>(measured, 0));
        std::printf("usbvm-bench: per batch, %s: %.0f us;", way.name, elapsed / batches / 1e3);
        for (const auto &[part, counts] : way.usage.byPart) {
            if (counts.cpuNs / batches < 50 && counts.wakeUps / batches < 0.01)
                continue;
            std::printf(" %s %.0f us", part.c_str(), counts.cpuNs / batches / 1e3);
            if (part.rfind("machine", 0) != 0)
                std::printf(" %.2f wake %.2f pre", counts.wakeUps / batches, counts.preempted / batches);
            std::printf(";");
        }
        std::printf("\n");
    }
    return complete ? 0 : 1;
}
