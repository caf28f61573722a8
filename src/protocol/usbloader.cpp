#include "protocol/usbloader.h"

#include "firmware/firmwarefile.h"
#include "protocol/loaderrecords.h"
#include "protocol/loaderrequest.h"
#include "protocol/loadertiming.h"
#include "protocol/securewipe.h"
#include "qtcompat.h"
#include "usb/usbdevice.h"
#include "usb/usbinterface.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <cstring>

namespace {

// Interface protocol of the loader interface while the device runs its loader.
constexpr uint8_t flashingModeProtocol = 1;

template <typename Record> void copyRecord(Record &record, const QByteArray &bytes)
{
    std::memcpy(&record, bytes.constData(), sizeof record);
}

} // namespace

UsbLoader::UsbLoader(USBInterface *usbInterface)
    : UsbInterfaceHandler(usbInterface)
{
    // Its slots take these from other threads; a loader exists before any call reaches one.
    static const bool typesRegistered = [] {
        qRegisterMetaType<QSharedPointer<FirmwareFile>>("QSharedPointer<FirmwareFile>");
        qRegisterMetaType<std::vector<uint8_t>>("std::vector<uint8_t>");
        return true;
    }();
    Q_UNUSED(typesRegistered)
    readDeviceState();
}

UsbLoader::~UsbLoader() = default;

UsbLoader::TDeviceInformation UsbLoader::getDeviceInformation() const
{
    QMutexLocker locker(&m_recordsMutex);
    return deviceInformation;
}

UsbLoader::TFirmwareInformation UsbLoader::getFirmwareInformation() const
{
    QMutexLocker locker(&m_recordsMutex);
    return firmwareInformation;
}

UsbLoader::TDeviceStatus UsbLoader::getDeviceStatus() const
{
    QMutexLocker locker(&m_recordsMutex);
    return deviceStatus;
}

bool UsbLoader::isInFlashingMode() const
{
    QMutexLocker locker(&m_recordsMutex);
    return flashingModeActive;
}

QByteArray UsbLoader::readRecord(uint8_t request, int size)
{
    return usbInterface()->controlIn(request, 0, uint16_t(size));
}

void UsbLoader::sendShortCommand(uint8_t request)
{
    usbInterface()->controlOut(request, 0, QByteArray());
}

void UsbLoader::readDeviceState()
{
    const int bindCount = usbInterface()->bindCount();
    TDeviceStatus status {};
    TFirmwareInformation firmware {};
    TDeviceInformation device {};
    copyRecord(status, readRecord(requestCode(LoaderRequest::ReadDeviceStatus), sizeof status));
    copyRecord(firmware, readRecord(requestCode(LoaderRequest::ReadFirmwareInformation), sizeof firmware));
    copyRecord(device, readRecord(requestCode(LoaderRequest::ReadDeviceInformation), sizeof device));
    bool flashingMode = true;
    if (usbInterface()->interfaceProtocol() != flashingModeProtocol)
        flashingMode = readRecord(requestCode(LoaderRequest::ReadFlashingMode), 1).at(0) != 0;

    QMutexLocker locker(&m_recordsMutex);
    deviceStatus = status;
    firmwareInformation = firmware;
    deviceInformation = device;
    flashingModeActive = flashingMode;
    m_stateBindCount = bindCount;
}

void UsbLoader::refreshStateIfRebound()
{
    if (usbInterface()->bindCount() != m_stateBindCount)
        readDeviceState();
}

bool UsbLoader::waitWhileBusy()
{
    // Bounded by the number of questions as well as by time, so that a build
    // without pauses gives up after as many questions as the limit allows.
    const int limitMs = m_busyLimitMs >= 0 ? m_busyLimitMs : LoaderTiming::busyLimitMs;
    const int questions = qMax(1, limitMs / LoaderTiming::busyPollMs);
    const int scaledLimitMs = LoaderTiming::scaled(limitMs);
    QElapsedTimer waited;
    waited.start();
    for (int asked = 1;; ++asked) {
        if (usbInterface()->controlIn(requestCode(LoaderRequest::ReadBusy), 0, 1).at(0) == 0)
            return true;
        if (asked >= questions || (scaledLimitMs > 0 && waited.elapsed() >= scaledLimitMs)) {
            m_stayedBusy = true;
            return false;
        }
        LoaderTiming::pause(LoaderTiming::busyPollMs);
    }
}

void UsbLoader::beginWrite()
{
    m_stayedBusy = false;
    m_lastFailure = Failure::None;
}

void UsbLoader::reportFailure(Failure failure)
{
    m_lastFailure = m_stayedBusy ? Failure::DeviceStayedBusy : failure;
    emit firmwareReprogrammingFailed();
}

void UsbLoader::startFlashingMode()
{
    completes([this] {
        sendShortCommand(requestCode(LoaderRequest::EnterFlashingMode));
        LoaderTiming::pause(LoaderTiming::restartPauseMs);
        if (!usbInterface()->parentDevice()->reopen(LoaderTiming::scaled(LoaderTiming::comeBackLimitMs)))
            return;
        readDeviceState();
    });
}

void UsbLoader::startApp()
{
    completes([this] { sendShortCommand(requestCode(LoaderRequest::StartApplication)); });
}

void UsbLoader::restartDevice()
{
    completes([this] { sendShortCommand(requestCode(LoaderRequest::RestartDevice)); });
}

void UsbLoader::enableJtagProtection()
{
    completes([this] { sendShortCommand(requestCode(LoaderRequest::EnableJtagProtection)); });
}

void UsbLoader::flashDeviceInformation(
    QString SN, uchar boardVersion, uchar boardSubersion, uchar boardHwType)
{
    TDeviceInformation record {};
    record.boardVersion = boardVersion;
    record.boardSubversion = boardSubersion;
    const QByteArray serial = QtCompat::toLocal8Bit(SN);
    std::memcpy(record.SN, serial.constData(), size_t(qMin(serial.size(), int(sizeof record.SN))));
    record.flags = uint8_t((boardHwType & 0x03) << 1);
    beginWrite();

    const bool done = completes([&] {
        usbInterface()->controlOut(requestCode(LoaderRequest::WriteDeviceInformation), 0,
            QByteArray(reinterpret_cast<const char *>(&record), sizeof record));
        LoaderTiming::pause(LoaderTiming::settlePauseMs);
        TDeviceInformation device {};
        TDeviceStatus status {};
        copyRecord(device, readRecord(requestCode(LoaderRequest::ReadDeviceInformation), sizeof device));
        copyRecord(status, readRecord(requestCode(LoaderRequest::ReadDeviceStatus), sizeof status));
        QMutexLocker locker(&m_recordsMutex);
        deviceInformation = device;
        deviceStatus = status;
    });
    if (!done) {
        reportFailure();
        return;
    }
    // What the device reports back, not what was asked for.
    const TDeviceInformation device = getDeviceInformation();
    emit deviceInformationChanged(isValid(device), serialNumberText(device), device.boardVersion,
        device.boardSubversion, ::boardHwType(device), isJtagProtected(device));
    emit deviceInformationFreeSlotsChanged(getDeviceStatus().freeSlotsCount);
}

void UsbLoader::flashAes256Keys(std::vector<uint8_t> primaryKey, std::vector<uint8_t> secondaryKey)
{
    beginWrite();
    // Every buffer that holds key bytes is wiped before it is released.
    std::vector<uint8_t> keys;
    const bool fits = primaryKey.size() + secondaryKey.size() <= 0xFFFF;
    const bool done = fits && completes([&] {
        keys.reserve(primaryKey.size() + secondaryKey.size());
        keys.insert(keys.end(), primaryKey.begin(), primaryKey.end());
        keys.insert(keys.end(), secondaryKey.begin(), secondaryKey.end());
        usbInterface()->controlTransfer(requestCode(LoaderRequest::WriteAes256Keys), 0,
            keys.empty() ? nullptr : keys.data(), uint16_t(keys.size()), false);
        secureWipe(keys);
        LoaderTiming::pause(LoaderTiming::settlePauseMs);
        TDeviceStatus status {};
        copyRecord(status, readRecord(requestCode(LoaderRequest::ReadDeviceStatus), sizeof status));
        QMutexLocker locker(&m_recordsMutex);
        deviceStatus = status;
    });
    secureWipe(keys);
    secureWipe(primaryKey);
    secureWipe(secondaryKey);
    if (!done) {
        reportFailure();
        return;
    }
    emit deviceInformationFreeSlotsChanged(getDeviceStatus().freeSlotsCount);
}
