// Throughput of 1 MiB sent to the Vantor gadget in 256-byte batches: plain
// loops of libusb's synchronous bulk writes and libusb with eight
// asynchronous transfers in flight, a flash through the tool's whole stack
// (loader, driver, USB layer, libusb host, progress to this thread) one
// batch at a time and with eight queued, the USB layer alone
// (USBEndpoint::write, one at a time), the plain synchronous loop with a
// second thread handling libusb's events beside it, and eight in flight
// refilled only once libusb's event handling returns (the tool refills from
// the completion callback). The same bytes in the same transfers; every
// way runs several timed rounds, interleaved, the median counts, and each
// comparison is the ratio of two medians, also without the time the test
// gadget held the tool's requests (see Gadget::awaitSinkCaughtUp). Then
// one more round of each way, not timed for the comparison, tells where the
// time of a batch went: the CPU time and the wake-ups (voluntary context
// switches) of each thread of this process, of the gadget, of udev and of
// the kernel's threads, and the machine's time in interrupts and idle. Runs
// in the virtual machine of run-usb-vm.sh.
//
// usage: usbvm-bench [--rounds N] [--way I]

#include "protocol/bulktransferwithbatches.h"
#include "usbvmflashrig.h"

#include <libusb.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int batchSize = 256;
constexpr int batchCount = 4096; // 1 MiB
constexpr int inFlight = 8;

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

    // The processes looked at, found before the measured part (a look at
    // all of /proc takes tens of milliseconds here), and their threads, read
    // again at its start: the gadget's pipe threads are new after every
    // re-enumeration, and a thread names itself once it runs.
    struct Task
    {
        std::string part;
        std::string dir;
    };
    static std::vector<Task> s_processes; // part empty: this process, by thread name
    static std::vector<Task> s_tasks;

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static std::string partOf(const QByteArray &name, bool main)
    {
        if (main)
            return "main thread";
        if (name.startsWith("USB driver"))
            return "worker thread";
        if (name == "usb events")
            return "libusb event thread";
        return "other threads";
    }
    // This process, the gadget, udev (a re-enumeration keeps it busy) and
    // the kernel's work queues and soft interrupts (they complete USB requests).
    static void findProcesses()
    {
        s_processes = {{std::string(), QString("/proc/%1").arg(getpid()).toStdString()}};
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray name = read("/proc/" + pid + "/comm").trimmed();
            const std::string dir = ("/proc/" + pid).toStdString();
            if (name == "usbvm-gadget")
                s_processes.push_back({"gadget", dir});
            else if (name.contains("udev"))
                s_processes.push_back({"udev", dir});
            else if (name.startsWith("kworker") || name.startsWith("ksoftirqd"))
                s_processes.push_back({"kernel threads", dir});
        }
    }
    static void findTasks()
    {
        s_tasks.clear();
        for (const Task &process : s_processes) {
            const QString tasks = QString::fromStdString(process.dir) + "/task";
            for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                const QString dir = tasks + "/" + task;
                const std::string part = !process.part.empty()
                    ? process.part
                    : partOf(read(dir + "/comm").trimmed(), task.toInt() == getpid());
                s_tasks.push_back({part, dir.toStdString()});
            }
        }
    }

    static std::string readSmall(const std::string &path)
    {
        char text[2048];
        const int fd = open(path.c_str(), O_RDONLY);
        const ssize_t size = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
        if (fd >= 0)
            close(fd);
        return size > 0 ? std::string(text, std::size_t(size)) : std::string();
    }
    static double field(const std::string &status, const char *key)
    {
        const std::size_t at = status.find(key);
        return at == std::string::npos ? 0 : std::strtod(status.c_str() + at + std::strlen(key), nullptr);
    }

    static Usage now()
    {
        Usage usage;
        for (const Task &task : s_tasks) {
            const std::string status = readSmall(task.dir + "/status");
            Counts &counts = usage.byPart[task.part];
            counts.cpuNs += std::strtod(readSmall(task.dir + "/schedstat").c_str(), nullptr);
            counts.wakeUps += field(status, "\nvoluntary_ctxt_switches:");
            counts.preempted += field(status, "nonvoluntary_ctxt_switches:");
        }
        // cpu user nice system idle iowait irq softirq, in 1/100 s.
        double cpu[8] = {};
        const std::string stat = readSmall("/proc/stat");
        if (std::sscanf(stat.c_str(), "cpu %lf %lf %lf %lf %lf %lf %lf", &cpu[1], &cpu[2], &cpu[3], &cpu[4],
                &cpu[5], &cpu[6], &cpu[7])
            == 7) {
            usage.byPart["machine: interrupts"].cpuNs = (cpu[6] + cpu[7]) * 1e7;
            usage.byPart["machine: idle"].cpuNs = (cpu[4] + cpu[5]) * 1e7;
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

std::vector<Usage::Task> Usage::s_processes;
std::vector<Usage::Task> Usage::s_tasks;

// Usage during the measured part of the profiling round of one way; null
// in the timed rounds, which look at nothing while they run.
Usage *s_usage = nullptr;
Usage s_roundStart;

// How long the looks at /proc took, in all, and how many there were.
qint64 s_lookNs = 0;
int s_looks = 0;

Usage lookAtUsage()
{
    QElapsedTimer timer;
    timer.start();
    Usage usage = Usage::now();
    s_lookNs += timer.nsecsElapsed();
    ++s_looks;
    return usage;
}

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// How long, between from and to, the gadget held requests until its sink
// had caught up (its hold log, on the same clock). Set by the ways that make
// requests in their measured part, for the comparison without it.
qint64 s_heldNs = 0;

qint64 gadgetHeldBetween(qint64 from, qint64 to)
{
    std::ifstream log(usbvmGadgetPlace(1).holdLog);
    long long start = 0;
    long long end = 0;
    qint64 held = 0;
    // A hold still going at the end came after the last batch, while the
    // last report was on its way to this thread: it delayed nothing measured.
    while (log >> start >> end) {
        if (end <= to)
            held += std::max<qint64>(0, end - std::max<qint64>(start, from));
    }
    return held;
}

// Before the measured part, once every thread that will take part exists.
void prepareMeasuring()
{
    if (s_usage)
        Usage::findProcesses();
}

void startMeasuring()
{
    if (s_usage) {
        Usage::findTasks();
        s_roundStart = lookAtUsage();
    }
}

void stopMeasuring()
{
    if (s_usage)
        s_usage->add(s_roundStart, lookAtUsage());
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
    prepareMeasuring();
    qint64 firstBatch = -1;
    qint64 lastBatch = -1;
    QObject::connect(&rig.proxy, &OneDeviceUsbLoaderProxy::flashingProgress, [&](int percent) {
        // The batches only: from the first progress report (before the first
        // batch) to the last (after it), not the mode switch or the busy wait.
        // The look at /proc runs while the worker writes, and counts against the tool.
        if (firstBatch < 0) {
            firstBatch = monotonicNs();
            startMeasuring();
        }
        if (percent == 100) {
            lastBatch = monotonicNs();
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
    // The announcement of the image falls in the measured part.
    s_heldNs = complete ? gadgetHeldBetween(firstBatch, lastBatch) : 0;
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
    prepareMeasuring();
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
    prepareMeasuring();
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
    prepareMeasuring();
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

// Refilling outside the callback in plain libusb: the callback only notes
// the ended transfer, and the loop submits the next batches once libusb's
// event handling has returned.
void LIBUSB_CALL onTransferNoted(libusb_transfer *transfer)
{
    auto *ended = static_cast<std::vector<libusb_transfer *> *>(transfer->user_data);
    ended->push_back(transfer);
}

Measurement plainAsynchronousRefilledOutside()
{
    PlainDevice device;
    if (!device.outPipe)
        return -1;
    std::vector<std::vector<uint8_t>> buffers(inFlight, std::vector<uint8_t>(batchSize, 0xA5));
    std::vector<libusb_transfer *> transfers;
    std::vector<libusb_transfer *> ended;
    for (int i = 0; i < inFlight; ++i) {
        transfers.push_back(libusb_alloc_transfer(0));
        libusb_fill_bulk_transfer(transfers.back(), device.handle, device.outPipe, buffers[i].data(),
            batchSize, onTransferNoted, &ended, 5000);
    }
    std::vector<libusb_transfer *> idle = transfers;
    int submitted = 0;
    int completed = 0;
    bool failed = false;
    prepareMeasuring();
    startMeasuring();
    QElapsedTimer timer;
    timer.start();
    while (!failed && completed < batchCount) {
        while (!idle.empty() && submitted < batchCount) {
            if (libusb_submit_transfer(idle.back()) != LIBUSB_SUCCESS) {
                failed = true;
                break;
            }
            idle.pop_back();
            ++submitted;
        }
        if (failed || libusb_handle_events(device.context) != LIBUSB_SUCCESS)
            break;
        for (libusb_transfer *transfer : ended) {
            ++completed;
            failed = failed || transfer->status != LIBUSB_TRANSFER_COMPLETED
                || transfer->actual_length != batchSize;
            idle.push_back(transfer);
        }
        ended.clear();
    }
    const qint64 elapsed = timer.nsecsElapsed();
    stopMeasuring();
    // Whatever is still in flight after a failure ends before its transfer is freed.
    while (int(idle.size()) < inFlight && completed < submitted) {
        if (libusb_handle_events(device.context) != LIBUSB_SUCCESS)
            break;
        completed += int(ended.size());
        idle.insert(idle.end(), ended.begin(), ended.end());
        ended.clear();
    }
    for (libusb_transfer *transfer : transfers)
        libusb_free_transfer(transfer);
    return !failed && completed == batchCount && device.everyByteArrived() ? elapsed : -1;
}

struct Way
{
    const char *name;
    std::function<Measurement()> run;
    std::vector<Measurement> rounds;
    Usage usage;
    Measurement profiled = 0; // the profiling round's time
    std::vector<qint64> held = {}; // the gadget's holds in each round's measured part
};

qint64 median(std::vector<Measurement> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<Measurement> withoutHolds(const Way &way)
{
    std::vector<Measurement> net;
    for (std::size_t round = 0; round < way.rounds.size(); ++round)
        net.push_back(way.rounds[round] - way.held[round]);
    return net;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    usbvmSetPlugged(true);
    auto host = std::make_shared<LibusbHost>(DEVICE_INTERFACE_MATCH);
    usbvmWaitFor([&] { return usbvmListedPaths(*host).size() == 1; });
    QTemporaryDir files;
    const QString firmwareFile = files.filePath(QStringLiteral("bench.tvf"));

    // The first four are the comparison, each tool row right after the
    // plain way it is held against, so that the two of a pair run as close
    // together in time as the rounds allow: the tool one at a time against
    // the plain synchronous loop, the tool queued against the plain pipeline.
    std::vector<Way> ways = {
        {"libusb synchronous loop", [] { return plainSynchronous(false); }, {}, {}},
        {"the tool, depth 1 (one at a time)", [&] { return wholeStack(host, firmwareFile, 1); }, {}, {}},
        {"libusb asynchronous, 8 in flight", [] { return plainAsynchronous(); }, {}, {}},
        {"the tool, depth 8 (default)",
            [&] { return wholeStack(host, firmwareFile, BulkTransferWithBatches::defaultQueueDepth); }, {},
            {}},
        {"USB layer (USBEndpoint::write)", [&] { return usbLayer(host); }, {}, {}},
        {"libusb synchronous, event thread beside", [] { return plainSynchronous(true); }, {}, {}},
        {"libusb 8 in flight, refilled between events", [] { return plainAsynchronousRefilledOutside(); }, {},
            {}},
    };
    // Each comparison: the tool's way, the plain way, and the most the tool may take against it.
    struct Comparison
    {
        const char *name;
        std::size_t tool;
        std::size_t plain;
        double goal;
    };
    const Comparison comparisons[] = {
        {"the tool at depth 1 against the synchronous loop", 1, 0, 1.10},
        {"the tool at depth 8 against 8 in flight", 3, 2, 1.25},
    };
    // --rounds N sets the rounds per way; --way I runs the I-th way alone
    // (for a profiler wrapped around one way).
    int rounds = 7;
    const QStringList arguments = app.arguments();
    const int roundsAt = arguments.indexOf(QStringLiteral("--rounds"));
    if (roundsAt > 0 && roundsAt + 1 < arguments.size())
        rounds = std::max(1, arguments[roundsAt + 1].toInt());
    const int wayAt = arguments.indexOf(QStringLiteral("--way"));
    const bool allWays = wayAt < 0;
    if (!allWays) {
        const int only = wayAt + 1 < arguments.size() ? arguments[wayAt + 1].toInt() : -1;
        if (only < 0 || only >= int(ways.size())) {
            std::printf("usbvm-bench: no way %d\n", only);
            return 2;
        }
        ways = {ways[std::size_t(only)]};
    }
    bool complete = true;
    for (int round = 0; round < rounds; ++round) {
        for (Way &way : ways) {
            s_heldNs = 0;
            const Measurement measured = way.run();
            complete = complete && measured > 0;
            way.rounds.push_back(measured);
            way.held.push_back(s_heldNs);
        }
    }
    // Then one more round of each way for the profile, apart from the timed
    // ones: its looks at /proc would cost the tool's rows time, since the
    // first one happens while the worker already writes.
    for (Way &way : ways) {
        s_usage = &way.usage;
        way.profiled = way.run();
        s_usage = nullptr;
    }
    std::printf("usbvm-bench: 1 MiB in 256-byte batches, median of %d rounds (min - max)\n", rounds);
    for (const Way &way : ways) {
        const auto [least, most] = std::minmax_element(way.rounds.begin(), way.rounds.end());
        const double seconds = double(median(way.rounds)) / 1e9;
        std::printf("usbvm-bench: %-42s %7.0f ms (%5.0f - %5.0f) %6.0f KiB/s\n", way.name, seconds * 1e3,
            double(*least) / 1e6, double(*most) / 1e6, batchSize * double(batchCount) / 1024.0 / seconds);
    }
    if (complete && allWays) {
        const double plain = double(median(ways[0].rounds));
        std::printf("usbvm-bench: time against the plain synchronous loop:");
        for (const Way &way : ways)
            std::printf(" %.2f", double(median(way.rounds)) / plain);
        std::printf("\n");
        // The ratio of the medians decides; the rounds' own ratios show the spread.
        for (const Comparison &comparison : comparisons) {
            const Way &tool = ways[comparison.tool];
            const Way &against = ways[comparison.plain];
            const double ratio = double(median(tool.rounds)) / double(median(against.rounds));
            std::printf("usbvm-bench: %s: %.2f (goal %.2f: %s); round by round:", comparison.name, ratio,
                comparison.goal, ratio <= comparison.goal ? "met" : "not met");
            for (int round = 0; round < rounds; ++round)
                std::printf(" %.2f", double(tool.rounds[round]) / double(against.rounds[round]));
            std::printf("\n");
            // The test gadget holds each request until its sink has caught up
            // with the bulk data, which a device's own firmware does not need
            // to: the tool's announcement of the image pays that hold.
            const double netRatio
                = double(median(withoutHolds(tool))) / double(median(withoutHolds(against)));
            std::printf(
                "usbvm-bench: %s, without the gadget's holds (median %.1f ms a round): %.2f (goal %.2f: "
                "%s)\n",
                comparison.name, double(median(tool.held)) / 1e6, netRatio, comparison.goal,
                netRatio <= comparison.goal ? "met" : "not met");
        }
    } else if (!complete) {
        std::printf("usbvm-bench: a round did not complete\n");
    }
    std::printf("usbvm-bench: one look at /proc for the profile below took %.1f ms on average\n",
        s_looks ? double(s_lookNs) / s_looks / 1e6 : 0.0);
    // Per batch, in the profiling round: microseconds of CPU, wake-ups, preemptions.
    const double batches = batchCount;
    for (const Way &way : ways) {
        std::printf("usbvm-bench: per batch, %s: %.0f us;", way.name,
            double(std::max<Measurement>(way.profiled, 0)) / batches / 1e3);
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
