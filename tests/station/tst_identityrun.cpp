// One identity write on a scripted device that always reads back "ZOK1",
// board 2.0, hardware type 1: every way a write can end, said once.

#include "../protocol/loadertestsupport.h"

#include "protocol/loadertiming.h"
#include "station/identityrun.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

// HostWaits: transfers to the gone device wait out the host's time-out.
// WorkerHeld: the worker thread is busy elsewhere until the run has ended.
enum class Trouble { None, WriteFails, Unplug, UnplugHostWaits, WorkerHeld };
Q_DECLARE_METATYPE(Trouble)
Q_DECLARE_METATYPE(IdentityRun::Failure)

class TestIdentityRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
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
        using F = IdentityRun::Failure;
        const QString differs = "the device reports \"ZOK1 2.0 1\" (serial, board, hardware type), not what "
                                "was written";
        const QString removed = "the device was disconnected before it answered";
        QTest::addRow("read back as written") << "ZOK1" << 0 << 1 << Trouble::None << F::None << QString();
        QTest::addRow("other serial read back")
            << "ZOK2" << 0 << 1 << Trouble::None << F::SerialDiffers << differs;
        QTest::addRow("other board read back")
            << "ZOK1" << 1 << 1 << Trouble::None << F::BoardDiffers << differs;
        QTest::addRow("other hardware type read back")
            << "ZOK1" << 0 << 3 << Trouble::None << F::HwTypeDiffers << differs;
        QTest::addRow("refused") << "ZOK1" << 0 << 1 << Trouble::WriteFails << F::Refused
                                 << "the device did not take the identity record";
        QTest::addRow("pulled out") << "ZOK1" << 0 << 1 << Trouble::Unplug << F::DeviceRemoved << removed;
        QTest::addRow("pulled out, host waits out its transfers")
            << "ZOK1" << 0 << 1 << Trouble::UnplugHostWaits << F::DeviceRemoved << removed;
        QTest::addRow("no answer") << "ZOK1" << 0 << 1 << Trouble::WorkerHeld << F::NoAnswer
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
        const QList<LoaderDevice> devices = DriverLoaders(driver.get()).devices();
        QCOMPARE(devices.size(), 1);
        IdentityRun run(driver.get(), devices.first(), {serial, 2, uchar(subversion), uchar(hwType)});
        QSignalSpy finished(&run, &IdentityRun::finished);
        QVERIFY(finished.isValid());
        // Outlives the worker, which may still be leaving acquire() when a check fails.
        QSemaphore workerHeld;
        StoppingThread worker;
        driver->moveToThread(&worker);
        worker.start();

        // A removal is noticed from the change notification, before a
        // transfer to the gone device could give up.
        const bool hostWaits = trouble == Trouble::UnplugHostWaits;
        const int withinMs = hostWaits ? int(UsbHost::transferTimeoutMs) : LoaderTiming::answerLimitMs();
        bus->setGoneDeviceTransfersWait(hostWaits);
        if (trouble == Trouble::WriteFails)
            bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Fail});
        if (trouble == Trouble::Unplug || hostWaits)
            bus->injectFault({SimOp::ControlTransfer, SimFault::Action::Unplug});
        if (trouble == Trouble::WorkerHeld) {
            QMetaObject::invokeMethod(
                driver.get(), [&workerHeld] { workerHeld.acquire(); }, Qt::QueuedConnection);
            run.setAnswerLimit(50);
        }
        {
            const auto letWorkerGo = qScopeGuard([&workerHeld] { workerHeld.release(); });
            run.start();
            QVERIFY(finished.wait(withinMs));
        }
        QCOMPARE(run.failure(), failure);
        QCOMPARE(run.reason(), reason);
        if (failure == IdentityRun::Failure::None)
            QCOMPARE(run.freeSlots(), 5);
        // Whatever the loader answers late changes nothing.
        QVERIFY(drainDriverOnWorker(driver.get()));
        QCOMPARE(finished.size(), 1);
    }
};

QTEST_MAIN(TestIdentityRun)
#include "tst_identityrun.moc"
