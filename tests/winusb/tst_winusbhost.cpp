#include "../protocol/vantorbench.h"
#include "../ui/modalwatcher.h"
#include "winusbstandin.h"

#include "app/deviceside.h"
#include "protocol/loadertiming.h"
#include "ui/flashdialog.h"
#include "usb/host/winusb/winusbhost.h"
#include "usb/windevchangeeventfilter.h"

#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <dbt.h>

#include <cstring>

// The real WinUSB host on the stand-in for SetupAPI and WinUSB, which answers
// from simulated Vantor devices.
class TestWinUsbHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void callsWindowsAsItExpects();
    void win32ErrorsReachTheLayerAsTheirCauses_data();
    void win32ErrorsReachTheLayerAsTheirCauses();
    void windowFlashesThroughWinUsbAndFollowsTheBroadcast();
    void settingsMakeTheRoundTrip();
    void queuedWrites_data();
    void queuedWrites();

private:
    UsbPlatform platform()
    {
        auto filter = std::make_unique<WinDevChangeEventFilter>();
        m_filter = filter.get();
        return UsbPlatform {m_host, std::move(filter)};
    }
    // Opens the only device through the host and gives its first interface.
    UsbInterfaceHandle openOnly(UsbFileHandle &file);
    static void broadcastDeviceChange()
    {
        PostThreadMessageW(GetCurrentThreadId(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    }
    // As Windows sends it to a window registered for the interface class.
    static void sendInterfaceChange(HWND window, WPARAM event, const UsbGuid &guid)
    {
        DEV_BROADCAST_DEVICEINTERFACE_W broadcast {sizeof broadcast, DBT_DEVTYP_DEVICEINTERFACE, 0, {}, {0}};
        std::memcpy(&broadcast.dbcc_classguid, &guid, sizeof guid);
        SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&broadcast));
    }

    QTemporaryDir m_files;
    std::unique_ptr<VantorBench> m_bench;
    std::shared_ptr<WinUsbHost> m_host;
    WinDevChangeEventFilter *m_filter = nullptr; // the last one platform() made
};

void TestWinUsbHost::initTestCase()
{
    QVERIFY(m_files.isValid());
    useTestSettings(m_files.path());
    LoaderTiming::setScale(0);
}

void TestWinUsbHost::init()
{
    m_bench = std::make_unique<VantorBench>();
    m_host = std::make_shared<WinUsbHost>();
    winUsbStandIn().bus = m_bench->bus;
    winUsbStandIn().takeLog();
    winUsbStandIn().mostInFlight = 0;
}

void TestWinUsbHost::cleanup()
{
    winUsbStandIn().armed.clear();
    QCOMPARE(m_bench->bus->openFileCount(), 0);
    QCOMPARE(m_bench->bus->invalidHandleUses(), 0);
}

UsbInterfaceHandle TestWinUsbHost::openOnly(UsbFileHandle &file)
{
    std::vector<std::u16string> paths;
    UsbOpenError error {};
    UsbInterfaceHandle first {};
    if (!m_host->listInterfacePaths(DEVICE_INTERFACE_GUID, paths) || paths.size() != 1
        || !m_host->openFile(paths.front(), file, error) || !m_host->initialize(file, first))
        return {};
    return first;
}

void TestWinUsbHost::callsWindowsAsItExpects()
{
    QVERIFY(m_bench->plug("devices=2"));
    USBDriver driver(loaderFactories(), platform());
    QCOMPARE(driver.devices().size(), 2);
    const std::vector<std::string> log = winUsbStandIn().takeLog();
    const auto count = [&](const std::string &line) { return std::count(log.begin(), log.end(), line); };
    QCOMPARE(count("SetupDiGetClassDevsW 12"), 1); // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE
    // Read and write, no sharing, an existing file, overlapped.
    QCOMPARE(count("CreateFileW c0000000 0 3 40000080"), 2);
    // Both bulk pipes of each device wait at most 5 s (PIPE_TRANSFER_TIMEOUT).
    QCOMPARE(count("WinUsb_SetPipePolicy 01 3 4 5000"), 2);
    QCOMPARE(count("WinUsb_SetPipePolicy 81 3 4 5000"), 2);
}

void TestWinUsbHost::win32ErrorsReachTheLayerAsTheirCauses_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("openError"); // UsbOpenError, or -1 when the open succeeds
    QTest::addColumn<bool>("attachedAfter");
    const int opens = -1;
    QTest::addRow("path gone") << "CreateFileW" << int(ERROR_FILE_NOT_FOUND) << int(UsbOpenError::NotPresent)
                               << true;
    QTest::addRow("device not connected")
        << "CreateFileW" << int(ERROR_DEVICE_NOT_CONNECTED) << int(UsbOpenError::NotPresent) << true;
    QTest::addRow("open elsewhere") << "CreateFileW" << int(ERROR_ACCESS_DENIED) << int(UsbOpenError::InUse)
                                    << true;
    QTest::addRow("other open failure")
        << "CreateFileW" << int(ERROR_GEN_FAILURE) << int(UsbOpenError::Failed) << true;
    QTest::addRow("time-out") << "WinUsb_ControlTransfer" << int(ERROR_SEM_TIMEOUT) << opens << true;
    QTest::addRow("stalled pipe") << "WinUsb_ReadPipe" << int(ERROR_GEN_FAILURE) << opens << true;
    QTest::addRow("removed mid-transfer") << "unplug" << 0 << opens << false;
}

void TestWinUsbHost::win32ErrorsReachTheLayerAsTheirCauses()
{
    QFETCH(QString, function);
    QFETCH(int, error);
    QFETCH(int, openError);
    QFETCH(bool, attachedAfter);
    QVERIFY(m_bench->plug(""));
    if (openError >= 0) {
        winUsbStandIn().arm(function.toStdString(), DWORD(error));
        std::vector<std::u16string> paths;
        QVERIFY(m_host->listInterfacePaths(DEVICE_INTERFACE_GUID, paths));
        UsbFileHandle file {};
        UsbOpenError reason {};
        QVERIFY(!m_host->openFile(paths.at(0), file, reason));
        QCOMPARE(int(reason), openError);
        return;
    }
    UsbFileHandle file {};
    const UsbInterfaceHandle first = openOnly(file);
    QVERIFY(first != UsbInterfaceHandle {});
    if (function == "unplug")
        m_bench->bus->unplug(1);
    else
        winUsbStandIn().arm(function.toStdString(), DWORD(error));
    uint8_t buffer[64];
    uint32_t moved = 99;
    const UsbSetupPacket status {0xC0, 3, 0, 0, 1};
    QVERIFY(function == "WinUsb_ReadPipe" ? !m_host->readPipe(first, 0x81, buffer, sizeof buffer, moved)
                                          : !m_host->controlTransfer(first, status, buffer, 1, moved));
    QCOMPARE(moved, 0u);
    QCOMPARE(m_host->isAttached(file), attachedAfter);
    QVERIFY(m_host->freeInterface(first));
    QVERIFY(m_host->closeFile(file));
}

void TestWinUsbHost::windowFlashesThroughWinUsbAndFollowsTheBroadcast()
{
    injectUsbPlatform([this] { return platform(); });
    QVERIFY(m_bench->plug("firmware=1.0.0"));
    {
        DeviceSide side;
        FlashDialog window;
        window.setModal(false);
        side.connectWindow(&window);
        window.show();
        const auto label = [&](const char *name) { return window.findChild<QLabel *>(name)->text(); };
        QCOMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000001"));
        QVERIFY(vantorFirmwareFile(m_files.path(), 3000));
        ModalWatcher watcher;
        watcher.setFileAnswer(m_files.filePath("image-3000.tvf"));
        window.onLoadFirmwareClicked();
        QTest::mouseClick(window.findChild<QPushButton *>("FlashDeviceButton"), Qt::LeftButton);
        QTRY_COMPARE(watcher.messages.size(), 1);
        QCOMPARE(watcher.messages.first().title, QString("Success"));
        QTRY_COMPARE(label("DeviceVersionValueLabel"), QString("3.1.4"));

        // Plugging and unplugging reach the window through WM_DEVICECHANGE.
        QVERIFY(m_bench->bus->unplug(1));
        broadcastDeviceChange();
        QTRY_VERIFY(window.findChild<QLabel *>("NoDeviceConnectedLabel")->isVisible());
        QVERIFY(m_bench->bus->replug(1));
        broadcastDeviceChange();
        QTRY_COMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000001"));
        // And through the interface notifications for our GUID, sent to the filter's window.
        const UsbGuid otherGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0, 0x11, 0x11, 0, 0, 0x30}};
        QSignalSpy changes(m_filter, &WinDevChangeEventFilter::deviceListChanged);
        const HWND notifyWindow
            = FindWindowExW(HWND_MESSAGE, nullptr, WinDevChangeEventFilter::windowClassName, nullptr);
        QVERIFY(notifyWindow);
        QVERIFY(m_bench->bus->unplug(1));
        sendInterfaceChange(notifyWindow, DBT_DEVICEREMOVECOMPLETE, otherGuid);
        QCOMPARE(changes.size(), 0);
        sendInterfaceChange(notifyWindow, DBT_DEVICEREMOVECOMPLETE, DEVICE_INTERFACE_GUID);
        QTRY_VERIFY(window.findChild<QLabel *>("NoDeviceConnectedLabel")->isVisible());
        QVERIFY(m_bench->bus->replug(1));
        sendInterfaceChange(notifyWindow, DBT_DEVICEARRIVAL, otherGuid);
        QCOMPARE(changes.size(), 1);
        sendInterfaceChange(notifyWindow, DBT_DEVICEARRIVAL, DEVICE_INTERFACE_GUID);
        QTRY_COMPARE(label("CurrentSerialNumberLabel"), QString("ZOK000001"));
        side.quit();
    }
    injectUsbPlatform({});
}

void TestWinUsbHost::settingsMakeTheRoundTrip()
{
    QVERIFY(m_bench->plug(""));
    USBDriver driver(loaderFactories(), platform());
    UsbLoader *loader = onlyLoader(driver);
    QVERIFY(loader);
    QSignalSpy sent(loader, &UsbLoader::userSettingsSent);
    QSignalSpy received(loader, &UsbLoader::userSettingsReceived);
    const QByteArray settings(700, 's');
    loader->sendUserSettings(settings, 2);
    QCOMPARE(sent.size(), 1);
    loader->readUserSettings(2);
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().first().toByteArray(), settings);
}

void TestWinUsbHost::queuedWrites_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("failingWrite"); // the nth write the device sees fails; 0: none
    QTest::addColumn<int>("reported"); // batches reported written, of 10
    QTest::addColumn<int>("inFlight");
    QTest::addRow("one at a time") << 1 << 0 << 10 << 0;
    QTest::addRow("four in flight") << 4 << 0 << 10 << 4;
    QTest::addRow("more in flight than batches") << 16 << 0 << 10 << 10;
    QTest::addRow("third fails with four in flight") << 4 << 3 << 2 << 4;
    QTest::addRow("last fails") << 4 << 10 << 9 << 4;
}

void TestWinUsbHost::queuedWrites()
{
    QFETCH(int, depth);
    QFETCH(int, failingWrite);
    QFETCH(int, reported);
    QFETCH(int, inFlight);
    auto model = std::make_shared<SimScriptedModel>();
    SimDeviceProfile profile = deviceProfile(0x1209, 0x7a10, u"Q1");
    profile.interfaceGuid = DEVICE_INTERFACE_GUID;
    profile.model = model;
    m_bench->bus->plug(profile);
    UsbFileHandle file {};
    const UsbInterfaceHandle first = openOnly(file);
    QVERIFY(first != UsbInterfaceHandle {});
    if (failingWrite > 0) {
        SimFault fault;
        fault.op = SimOp::WritePipe;
        fault.nth = failingWrite;
        m_bench->bus->injectFault(fault);
    }
    std::vector<uint8_t> image(2560);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i / 256);
    QList<int> batches;
    const bool ok = m_host->writePipeBatches(first, 0x01, image.data(), uint32_t(image.size()), 256,
        uint32_t(depth), [&](uint32_t batch) { batches << int(batch); });
    QCOMPARE(ok, failingWrite == 0);
    QList<int> expected;
    for (int i = 0; i < reported; ++i)
        expected << i;
    QCOMPARE(batches, expected);
    QCOMPARE(int(winUsbStandIn().mostInFlight), inFlight);
    // Nothing after the failed batch reached the device; all that was queued has ended.
    QCOMPARE(int(m_bench->bus->callCount(SimOp::WritePipe)), failingWrite ? failingWrite : 10);
    const int whole = failingWrite ? failingWrite - 1 : 10;
    QCOMPARE(model->bulkOut(0x01), std::vector<uint8_t>(image.begin(), image.begin() + 256 * whole));
    const std::vector<std::string> log = winUsbStandIn().takeLog();
    QCOMPARE(std::count(log.begin(), log.end(), "WinUsb_AbortPipe 01") == 1,
        failingWrite > 0 && failingWrite < 10);
    QVERIFY(m_host->freeInterface(first));
    QVERIFY(m_host->closeFile(file));
}

QTEST_MAIN(TestWinUsbHost)
#include "tst_winusbhost.moc"
