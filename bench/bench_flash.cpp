// Flashes 1 MiB and 16 MiB through the whole stack (the loader, its transfer
// objects, the USB layer, the host seam and the simulated Vantor device, with
// no device delays) while the progress dialog on the main thread receives
// every value, as in the window. Reports throughput, host time per 256-byte
// batch, the wake-ups of the worker and the main thread per batch, and the
// longest stall of the main thread's event loop.

#include "../tests/protocol/vantorbench.h"
#include "app/deviceside.h"
#include "firmware/firmwarefile.h"
#include "protocol/loadertiming.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "protocol/sim/simulatorsetup.h"
#include "protocol/sim/vantorwire.h"
#include "protocol/usbloader.h"
#include "ui/loadingdialog.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/host/sim/simusbbus.h"
#include "usb/usbdevice.h"
#include "usb/usbplatform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <ctime>

namespace {

// CPU time the calling thread has used.
qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The same, of the thread obj lives on.
qint64 threadCpuNsOf(QObject *obj)
{
    qint64 ns = 0;
    QMetaObject::invokeMethod(
        obj, [&ns] { ns = threadCpuNs(); }, Qt::BlockingQueuedConnection);
    return ns;
}

// How often the calling thread went to sleep and was woken again.
qint64 threadWakeUps()
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

qint64 threadWakeUpsOf(QObject *obj)
{
    qint64 count = 0;
    QMetaObject::invokeMethod(
        obj, [&count] { count = threadWakeUps(); }, Qt::BlockingQueuedConnection);
    return count;
}

void flash(benchmark::State &state)
{
    const int size = int(state.range(0));
    QTemporaryDir folder;
    const QSharedPointer<FirmwareFile> firmware = vantorFirmwareFile(folder.path(), size);
    if (!firmware) {
        state.SkipWithError("cannot write the firmware file");
        return;
    }
    LoaderTiming::setScale(0);
    const auto bus = std::make_shared<SimUsbBus>();
    injectUsbPlatform([bus] { return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)}; });
    QString error;
    setUpSimulator(QStringLiteral("mode=loader"), bus, &error);
    DeviceSide side;
    LoadingDialog dialog;
    const bool toWindow = state.range(1) != 0;
    const auto devices = side.driver()->devicesById();
    side.proxy()->onDeviceAdded(devices.firstKey(), devices.first());

    std::atomic<int> values {0};
    bool succeeded = false;
    QEventLoop loop;
    if (toWindow) {
        QObject::connect(
            side.proxy(), &OneDeviceUsbLoaderProxy::flashingProgress, &dialog, &LoadingDialog::setProgress);
        QObject::connect(side.proxy(), &OneDeviceUsbLoaderProxy::flashingProgress, [&] { ++values; });
    } else {
        // The stack alone: the values are counted where they arise, on the worker.
        UsbLoader *loader = nullptr;
        USBDevice::withHandlers(
            devices.first(), devices.firstKey(), [&](const USBDevice::HandlerMap &handlers) {
                loader = qobject_cast<UsbLoader *>(handlers.first());
                QObject::disconnect(loader, &UsbLoader::programmingProgress, side.proxy(), nullptr);
                QObject::connect(
                    loader, &UsbLoader::programmingProgress, loader, [&] { ++values; }, Qt::DirectConnection);
            });
    }
    QObject::connect(side.proxy(), &OneDeviceUsbLoaderProxy::firmwareReprogrammed, [&] {
        succeeded = true;
        loop.quit();
    });
    QObject::connect(side.proxy(), &OneDeviceUsbLoaderProxy::flashingFailed, &loop, &QEventLoop::quit);

    // A timer due every millisecond shows how long the loop is ever kept from it.
    QElapsedTimer sinceTick;
    qint64 longestStallNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestStallNs = qMax(longestStallNs, sinceTick.nsecsElapsed() - 1000000);
        sinceTick.restart();
    });
    qint64 workerCpuNs = 0;
    qint64 workerWakeUps = 0;
    qint64 mainWakeUps = 0;

    const int batches = (size + 255) / 256;
    for (auto _ : state) {
        values = 0;
        succeeded = false;
        bus->setCallLogLimit(0);
        const qint64 workerBefore = threadCpuNsOf(side.driver());
        const qint64 workerWakeUpsBefore = threadWakeUpsOf(side.driver());
        const qint64 mainWakeUpsBefore = threadWakeUps();
        sinceTick.start();
        ticker.start();
        emit side.proxy()->flashFirmware(firmware);
        loop.exec();
        ticker.stop();
        mainWakeUps += threadWakeUps() - mainWakeUpsBefore;
        workerWakeUps += threadWakeUpsOf(side.driver()) - workerWakeUpsBefore;
        workerCpuNs += threadCpuNsOf(side.driver()) - workerBefore;
        // 0 before the first batch, then each percentage from 1 to 100 once.
        if (!succeeded || values != 101) {
            state.SkipWithError("the flash failed or the dialog missed values");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["time_per_batch"] = benchmark::Counter(double(batches) * double(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["longest_stall_ms"] = double(longestStallNs) / 1e6;
    // What the host side costs the worker thread per batch, whatever else the machine does.
    state.counters["worker_cpu_per_batch_us"]
        = double(workerCpuNs) / 1e3 / (double(batches) * double(state.iterations()));
    // The main thread's include the ticker's, about one a millisecond.
    state.counters["worker_wakeups_per_batch"]
        = double(workerWakeUps) / (double(batches) * double(state.iterations()));
    state.counters["main_wakeups_per_batch"]
        = double(mainWakeUps) / (double(batches) * double(state.iterations()));
    side.quit();
    injectUsbPlatform({});
}

} // namespace

// Arguments: image size; 1 when every progress value travels to the dialog
// on the main thread as in the window, 0 for the stack alone.
BENCHMARK(flash)
    ->ArgNames({"bytes", "to_window"})
    ->Args({1 << 20, 1})
    ->Args({16 << 20, 1})
    ->Args({1 << 20, 0})
    ->Args({16 << 20, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
