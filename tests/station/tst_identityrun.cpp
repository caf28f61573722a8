// One identity write on a scripted device that always reads back "ZOK1",
// board 2.0, hardware type 1, for every way a write can end: how the run
// says it ended, and that it says so once.

#include "../protocol/loadertestsupport.h"

#include "app/deviceside.h"
#include "protocol/loadertiming.h"
#include "station/identityrun.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

namespace {

enum class Trouble {
    None,
    WriteFails,
    UnplugAtWrite,
    // The transfers to the gone device wait out the host's time-out.
    UnplugAtWriteHostWaits,
    // The worker thread is busy elsewhere until the run has ended.
    WorkerHeld,
};

} // namespace

Q_DECLARE_METATYPE(Trouble)
Q_DECLARE_METATYPE(IdentityRun::Failure)

class TestIdentityRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        DeviceSide::registerMetaTypes();
        LoaderTiming::setScale(0);
    }

    void cleanupTestCase() { LoaderTiming::setScale(1); }

    void everyEndOfAWrite_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("subversion");
        QTest::addColumn<int>("hwType");
        QTest::addColumn<Trouble>("trouble");
        QTest::addColumn<IdentityRun::Failure>("failure");
        QTest::addColumn<QString>("reason");
        using Failure = IdentityRun::Failure;
        const QString differs = QStringLiteral(
            "the device reports \"ZOK1 2.0 1\" (serial, board, hardware type), not what was written");
        const QString removed = QStringLiteral("the device was disconnected before it answered");
        QTest::addRow("read back as written")
            << "ZOK1" << 0 << 1 << Trouble::None << Failure::None << QString();
        QTest::addRow("another serial read back")
            << "ZOK2" << 0 << 1 << Trouble::None << Failure::SerialDiffers << differs;
        QTest::addRow("another board read back")
            << "ZOK1" << 1 << 1 << Trouble::None << Failure::BoardDiffers << differs;
        QTest::addRow("another hardware type read back")
            << "ZOK1" << 0 << 3 << Trouble::None << Failure::HwTypeDiffers << differs;
        QTest::addRow("refused by the device") << "ZOK1" << 0 << 1 << Trouble::WriteFails << Failure::Refused
                                               << "the device did not take the identity record";
        QTest::addRow("pulled out during the write")
            << "ZOK1" << 0 << 1 << Trouble::UnplugAtWrite << Failure::DeviceRemoved << removed;
        QTest::addRow("pulled out on a host that waits out its transfers")
            << "ZOK1" << 0 << 1 << Trouble::UnplugAtWriteHostWaits << Failure::DeviceRemoved << removed;
        QTest::addRow("no answer") << "ZOK1" << 0 << 1 << Trouble::WorkerHeld << Failure::NoAnswer
                                   << "the device did not answer within 0.05 s";
    }

    void everyEndOfAWrite()
    {
        QFETCH(QString, serial);
        QFETCH(int, subversion);
        QFETCH(int, hwType);
        QFETCH(Trouble, trouble);
        QFETCH(IdentityRun::Failure, failure);
        QFETCH(QString, reason);

        auto bus = std::make_shared<SimUsbBus>();
        auto model = scriptedLoaderModel();
        model->setControlAnswer(requestCode(LoaderRequest::ReadDeviceInformation),
            recordBytes(deviceRecord("ZOK1", 2, 0, 0x01 | 1 << 1)));
        bus->plug(loaderDeviceProfile(model));
        std::unique_ptr<USBDriver> driver = makeDriver(bus, loaderFactories(), true);
        const QList<LoaderDevice> devices = LoaderAccess::devicesOf(driver.get());
        QCOMPARE(devices.size(), 1);
        IdentityRun run(driver.get(), devices.first(), {serial, 2, uchar(subversion), uchar(hwType)});
        QSignalSpy finished(&run, &IdentityRun::finished);
        QVERIFY(finished.isValid());
        // Outlives the worker, which may still be leaving acquire() when a check fails.
        QSemaphore workerHeld;
        StoppingThread worker;
        driver->moveToThread(&worker);
        worker.start();

        // A removal must be noticed from the device-change notification, well
        // before a transfer to the gone device could give up.
        int withinMs = LoaderAccess::answerLimitMs();
        switch (trouble) {
        case Trouble::None:
            break;
        case Trouble::WriteFails:
            bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
            break;
        case Trouble::UnplugAtWriteHostWaits:
            bus->setGoneDeviceTransfersWait(true);
            withinMs = int(UsbHost::transferTimeoutMs);
            Q_FALLTHROUGH();
        case Trouble::UnplugAtWrite:
            bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Unplug});
            break;
        case Trouble::WorkerHeld:
            QMetaObject::invokeMethod(
                driver.get(), [&workerHeld] { workerHeld.acquire(); }, Qt::QueuedConnection);
            run.setAnswerLimit(50);
            break;
        }
        {
            const auto letWorkerGo = qScopeGuard([&workerHeld] { workerHeld.release(); });
            run.start();
            QVERIFY(finished.wait(withinMs));
        }
        QCOMPARE(run.failure(), failure);
        QCOMPARE(run.reason(), reason);
        QCOMPARE(run.succeeded(), failure == IdentityRun::Failure::None);
        if (run.succeeded())
            QCOMPARE(run.freeSlots(), 5);
        // Whatever the loader answers late changes nothing.
        QVERIFY(drainDriverOnWorker(driver.get()));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(run.failure(), failure);
    }
};

QTEST_MAIN(TestIdentityRun)
#include "tst_identityrun.moc"
