#include "soakrig.h"

#include "../protocol/vantorbench.h"

#include "app/deviceside.h"
#include "protocol/loadertiming.h"
#include "protocol/onedeviceusbloaderproxy.h"
#include "usb/host/sim/simbuschangenotifier.h"
#include "usb/usbplatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {

VantorDeviceState healthyState()
{
    VantorDeviceState state;
    vantorSetText(state.identity.serialNumber, "ZOK000001");
    state.identity.flags = vantorIdentityValid;
    state.firmware = vantorFirmwareInformation(1, 0, 0, 1, "master", true);
    return state;
}

} // namespace

SoakRig::SoakRig(double timeScale, std::chrono::milliseconds busyTime)
{
    LoaderTiming::setScale(timeScale);
    // Only counts are needed; a long log would grow the heap for the first
    // thousands of calls and hide a leak.
    m_bus->setCallLogLimit(200);
    m_listenerId = m_bus->addChangeListener([this] { ++m_busChanges; });
    VantorDeviceBehaviour behaviour;
    behaviour.busyTime = busyTime;
    m_model = std::make_shared<SimVantorModel>(u"ZOK000001", healthyState(), behaviour);
    m_deviceId = plugVantorDevice(m_bus, m_model);
    m_firmware = vantorFirmwareFile(m_files.path(), 2000);

    const std::shared_ptr<SimUsbBus> bus = m_bus;
    injectUsbPlatform([bus] { return UsbPlatform {bus, std::make_unique<SimBusChangeNotifier>(bus)}; });
    m_side = std::make_unique<DeviceSide>();
    OneDeviceUsbLoaderProxy *proxy = m_side->proxy();
    connect(proxy, &OneDeviceUsbLoaderProxy::deviceAttached, this, [this] { m_attached = true; });
    connect(proxy, &OneDeviceUsbLoaderProxy::deviceDetached, this, [this] { m_attached = false; });
    connect(proxy, &OneDeviceUsbLoaderProxy::firmwareReprogrammed, this, [this] { ++m_answers.successes; });
    connect(proxy, &OneDeviceUsbLoaderProxy::flashingFailed, this, [this] { ++m_answers.failures; });
    // As start-up does: the driver's announcements, then the devices its first scan found.
    connect(m_side->driver(), &USBDriver::deviceAdded, proxy, &OneDeviceUsbLoaderProxy::onDeviceAdded);
    connect(m_side->driver(), &USBDriver::deviceRemoved, proxy, &OneDeviceUsbLoaderProxy::onDeviceRemoved);
    const auto found = m_side->driver()->devicesById();
    for (auto device = found.cbegin(); device != found.cend(); ++device)
        proxy->onDeviceAdded(device.key(), device.value());
}

SoakRig::~SoakRig()
{
    shutDown();
    m_bus->removeChangeListener(m_listenerId);
    injectUsbPlatform({});
}

void SoakRig::drain()
{
    // Bus notifications pass this thread, then the worker, then come back.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QMetaObject::invokeMethod(
        m_side->driver(), [] {}, Qt::BlockingQueuedConnection);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

bool SoakRig::quiet(std::chrono::milliseconds limit)
{
    QElapsedTimer waited;
    waited.start();
    while (!waited.hasExpired(limit.count())) {
        const int changesBefore = m_busChanges;
        const VantorDevice &device = m_model->device();
        if (device.isReturnPending() || !m_bus->isPlugged(m_deviceId)) {
            QThread::usleep(200);
            continue;
        }
        drain();
        if (m_busChanges == changesBefore)
            return true;
    }
    return false;
}

bool SoakRig::settle(std::chrono::milliseconds limit)
{
    if (!quiet(limit))
        return false;
    if (m_attached)
        return true;
    ++m_replugs;
    m_model->device().powerOn();
    return quiet(limit) && m_attached;
}

bool SoakRig::flash(std::chrono::milliseconds limit)
{
    const int answersBefore = m_answers.total();
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QMetaObject::Connection success
        = connect(m_side->proxy(), &OneDeviceUsbLoaderProxy::firmwareReprogrammed, &loop, &QEventLoop::quit);
    QMetaObject::Connection failure
        = connect(m_side->proxy(), &OneDeviceUsbLoaderProxy::flashingFailed, &loop, &QEventLoop::quit);
    emit m_side->proxy()->flashFirmware(m_firmware);
    deadline.start(int(limit.count()));
    if (m_answers.total() == answersBefore)
        loop.exec();
    disconnect(success);
    disconnect(failure);
    return m_answers.total() > answersBefore;
}

bool SoakRig::deviceHoldsImage() const
{
    const VantorDeviceState state = m_model->device().state();
    const QByteArray image(reinterpret_cast<const char *>(state.image.data()), int(state.image.size()));
    return (state.firmware.flags & 0x01) != 0 && image == m_firmware->data();
}

void SoakRig::startApplication()
{
    emit m_side->proxy()->startApp();
}

std::map<SimOp, std::size_t> SoakRig::countCallsOfAFlash()
{
    m_bus->clearCalls();
    clearAnswers();
    std::map<SimOp, std::size_t> counts;
    if (!flash(std::chrono::seconds(30)) || m_answers.successes != 1)
        return counts;
    for (SimOp op : {SimOp::OpenFile, SimOp::Initialize, SimOp::GetDescriptor, SimOp::QueryInterfaceSettings,
             SimOp::QueryPipe, SimOp::ControlTransfer, SimOp::WritePipe})
        counts[op] = m_bus->callCount(op);
    return counts;
}

void SoakRig::arm(const DrawnFault &fault)
{
    switch (fault.kind) {
    case FaultKind::Fail:
    case FaultKind::ShortTransfer:
    case FaultKind::Unplug:
        m_bus->injectFault(fault.hostFault);
        break;
    case FaultKind::SlowRestart:
        m_model->device().setRestartDelay(fault.restartDelay);
        break;
    case FaultKind::EndlessBusy:
        m_model->device().setBusyForever(true);
        break;
    }
}

void SoakRig::disarm()
{
    m_bus->clearFaults();
    VantorDevice &device = m_model->device();
    device.clearFaults();
    device.setRestartDelay(std::chrono::milliseconds(0));
    // A device the bus took away, or one restarting to no end: a new plug-in.
    if (!device.isReturnPending() && !m_bus->isPlugged(m_deviceId))
        device.powerOn();
    device.clearRequests();
    m_bus->clearCalls();
}

SoakRig::Census SoakRig::census()
{
    Census counted;
    if (m_side) {
        USBDriver *driver = m_side->driver();
        QMetaObject::invokeMethod(
            driver,
            [&] {
                counted.devices
                    = driver->findChildren<USBDevice *>(QString(), Qt::FindDirectChildrenOnly).size();
                counted.loaders = driver->findChildren<UsbLoader *>().size();
            },
            Qt::BlockingQueuedConnection);
    }
    counted.openFiles = m_bus->openFileCount();
    counted.liveInterfaceHandles = m_bus->liveInterfaceHandleCount();
    counted.invalidHandleUses = m_bus->invalidHandleUses();
    return counted;
}

SoakRig::Census SoakRig::shutDown()
{
    if (m_side) {
        m_side->quit();
        m_side.reset();
    }
    return census();
}

std::string SoakRig::recentCalls() const
{
    std::string text;
    const std::vector<SimCall> calls = m_bus->calls();
    const std::size_t shown = std::min<std::size_t>(calls.size(), 30);
    for (auto call = calls.end() - std::ptrdiff_t(shown); call != calls.end(); ++call)
        text += "  " + describe(*call) + "\n";
    return text;
}
