#include "vantorbench.h"

#include "protocol/bulktransferwithbatches.h"
#include "protocol/loadertiming.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

enum class Operation { Flash, UserSettings, FactoryConfiguration };

const char *operationName(Operation operation)
{
    switch (operation) {
    case Operation::Flash:
        return "flash";
    case Operation::UserSettings:
        return "settings";
    case Operation::FactoryConfiguration:
        return "configuration";
    }
    return "?";
}

const char *actionName(SimFault::Action action)
{
    switch (action) {
    case SimFault::Action::Fail:
        return "fails";
    case SimFault::Action::MoveFewer:
        return "moves fewer bytes";
    case SimFault::Action::Unplug:
        return "device unplugged";
    }
    return "?";
}

// A device in application mode with settings in two slots, so that every
// operation switches modes, reads, erases and writes.
void plugHealthyDevice(VantorBench &bench)
{
    VantorDeviceState state;
    state.firmware.flags = 1;
    state.identity.flags = 1;
    state.userSettings[0] = {'z', 'e', 'r', 'o'};
    state.userSettings[3] = std::vector<uint8_t>(700, 't');
    bench.models.push_back(std::make_shared<SimVantorModel>(u"ZOK000001", state, VantorDeviceBehaviour {}));
    plugVantorDevice(bench.bus, bench.models.back());
}

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(SimOp)
Q_DECLARE_METATYPE(SimFault::Action)

// Every host call of a flash, a user-settings write and a configuration write
// made to fail, to move fewer bytes, or to find the device gone, with the
// batches sent one at a time and queued: each run ends with exactly one
// answer, and the worker thread goes on to flash a healthy device.
class TestFaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void everyCallOfEveryWrite_data();
    void everyCallOfEveryWrite();

private:
    struct Run
    {
        int answers = 0;
        int successes = 0;
        bool nextFlashSucceeded = false;
        // What the caller and the device saw of the operation.
        QList<int> progress;
        std::vector<std::vector<uint8_t>> bulkWrites;
    };
    // Runs the operation on the bench's device with the driver on a worker
    // thread; the fault, if any, is armed just before the request goes out.
    Run runOperation(VantorBench &bench, Operation operation, const SimFault *fault);
    static QSharedPointer<FirmwareFile> s_firmware;

    QTemporaryDir m_files;
};

QSharedPointer<FirmwareFile> TestFaultMatrix::s_firmware;

void TestFaultMatrix::initTestCase()
{
    QVERIFY(m_files.isValid());
    s_firmware = vantorFirmwareFile(m_files.path(), 1000);
    QVERIFY(s_firmware);
}

void TestFaultMatrix::cleanupTestCase()
{
    BulkTransferWithBatches::setQueueDepth(BulkTransferWithBatches::defaultQueueDepth);
    s_firmware.reset();
    LoaderTiming::setScale(1);
}

void TestFaultMatrix::init()
{
    // Set for each test, so that one that fails cannot leave its own behind.
    LoaderTiming::setScale(0);
    BulkTransferWithBatches::setQueueDepth(BulkTransferWithBatches::defaultQueueDepth);
}

TestFaultMatrix::Run TestFaultMatrix::runOperation(
    VantorBench &bench, Operation operation, const SimFault *fault)
{
    Run run;
    StoppingThread worker;
    std::unique_ptr<USBDriver> driver = makeDriver(bench.bus, loaderFactories());
    driver->moveToThread(&worker);
    worker.start();
    UsbLoader *loader = onlyLoader(*driver);
    if (!loader)
        return run;
    QObject context;
    const auto answer = [&run](bool success) {
        ++run.answers;
        run.successes += success ? 1 : 0;
    };
    connect(loader, &UsbLoader::firmwareReprogrammed, &context, [&] { answer(true); });
    connect(loader, &UsbLoader::userSettingsSent, &context, [&] { answer(true); });
    connect(loader, &UsbLoader::factoryConfigurationSent, &context, [&] { answer(true); });
    connect(loader, &UsbLoader::firmwareReprogrammingFailed, &context, [&] { answer(false); });
    connect(
        loader, &UsbLoader::programmingProgress, &context, [&run](int percent) { run.progress << percent; });
    bench.bus->clearCalls();
    if (fault)
        bench.bus->injectFault(*fault);
    switch (operation) {
    case Operation::Flash:
        QMetaObject::invokeMethod(loader, "flashFirmware", Q_ARG(QSharedPointer<FirmwareFile>, s_firmware));
        break;
    case Operation::UserSettings:
        QMetaObject::invokeMethod(
            loader, "sendUserSettings", Q_ARG(QByteArray, QByteArray(300, 's')), Q_ARG(uchar, 1));
        break;
    case Operation::FactoryConfiguration:
        QMetaObject::invokeMethod(
            loader, "sendFactoryConfiguration", Q_ARG(QByteArray, QByteArray(600, 'c')));
        break;
    }
    // Every answer is in once the worker has finished the operation and this
    // thread has taken what it sent.
    drainDriverOnWorker(driver.get());
    bench.bus->clearFaults();
    for (const SimCall &call : bench.bus->calls()) {
        if (call.op == SimOp::WritePipe)
            run.bulkWrites.push_back(call.data);
    }

    // The same worker serves the next device: the faulty one leaves, a healthy one comes.
    bench.bus->unplug(1);
    VantorBench fresh;
    fresh.bus = bench.bus;
    fresh.plug(QStringLiteral("serial=HEALTHY01,mode=loader"));
    QMetaObject::invokeMethod(driver.get(), &USBDriver::scanDevices, Qt::BlockingQueuedConnection);
    UsbLoader *healthy = nullptr;
    for (USBDevice *device : driver->devices()) {
        for (UsbInterfaceHandler *handler : device->interfaceHandlers())
            healthy = qobject_cast<UsbLoader *>(handler) ? qobject_cast<UsbLoader *>(handler) : healthy;
    }
    if (healthy) {
        QSignalSpy reprogrammed(healthy, &UsbLoader::firmwareReprogrammed);
        QMetaObject::invokeMethod(healthy, "flashFirmware", Q_ARG(QSharedPointer<FirmwareFile>, s_firmware));
        drainDriverOnWorker(driver.get());
        run.nextFlashSucceeded = reprogrammed.size() == 1;
    }
    worker.quit();
    worker.wait();
    driver.reset();
    return run;
}

void TestFaultMatrix::everyCallOfEveryWrite_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<SimOp>("op");
    QTest::addColumn<int>("nth");
    QTest::addColumn<SimFault::Action>("action");
    for (Operation operation : {Operation::Flash, Operation::UserSettings, Operation::FactoryConfiguration}) {
        // A healthy run counts the calls there are to hit.
        VantorBench bench;
        plugHealthyDevice(bench);
        const Run healthy = runOperation(bench, operation, nullptr);
        QVERIFY2(healthy.answers == 1 && healthy.successes == 1 && healthy.nextFlashSucceeded,
            operationName(operation));
        const std::size_t controls = bench.bus->callCount(SimOp::ControlTransfer);
        const std::size_t writes = bench.bus->callCount(SimOp::WritePipe);
        const std::size_t reads = bench.bus->callCount(SimOp::ReadPipe);
        QVERIFY(controls > 0);
        for (SimOp op : {SimOp::ControlTransfer, SimOp::WritePipe, SimOp::ReadPipe}) {
            const std::size_t count = op == SimOp::ControlTransfer ? controls
                : op == SimOp::WritePipe                           ? writes
                                                                   : reads;
            for (std::size_t nth = 1; nth <= count; ++nth) {
                for (auto action :
                    {SimFault::Action::Fail, SimFault::Action::MoveFewer, SimFault::Action::Unplug}) {
                    for (int depth : {1, BulkTransferWithBatches::defaultQueueDepth}) {
                        QTest::addRow("depth %d, %s: %s %d %s", depth, operationName(operation),
                            simOpName(op), int(nth), actionName(action))
                            << depth << operation << op << int(nth) << action;
                    }
                }
            }
        }
    }
}

void TestFaultMatrix::everyCallOfEveryWrite()
{
    QFETCH(int, depth);
    BulkTransferWithBatches::setQueueDepth(depth);
    QFETCH(Operation, operation);
    QFETCH(SimOp, op);
    QFETCH(int, nth);
    QFETCH(SimFault::Action, action);
    VantorBench bench;
    plugHealthyDevice(bench);
    const SimFault fault {op, action, nth, 1, 0};
    const Run run = runOperation(bench, operation, &fault);
    QCOMPARE(run.answers, 1);
    if (depth > 1) {
        // Queued, the device gets the same transfers and the caller the same answers.
        BulkTransferWithBatches::setQueueDepth(1);
        VantorBench reference;
        plugHealthyDevice(reference);
        const Run oneAtATime = runOperation(reference, operation, &fault);
        QCOMPARE(run.successes, oneAtATime.successes);
        QCOMPARE(run.progress, oneAtATime.progress);
        QVERIFY(run.bulkWrites == oneAtATime.bulkWrites);
    }
    QVERIFY(run.nextFlashSucceeded);
    QCOMPARE(bench.bus->openFileCount(), 0);
    QCOMPARE(bench.bus->liveInterfaceHandleCount(), 0);
    QCOMPARE(bench.bus->invalidHandleUses(), 0);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
