#pragma once

// Speaks the device's command set over one accepted interface: reads its
// records, switches it into flashing mode, and runs every device operation as
// a slot that reports only through signals. Lives on the worker thread as the
// child of its interface (built on the main thread during the first scan).

#include "usb/usbexception.h"
#include "usb/usbinterfacehandler.h"

#include <QByteArray>
#include <QMetaType>
#include <QMutex>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

class FirmwareFile;
class USBInterface;

class UsbLoader : public UsbInterfaceHandler
{
    Q_OBJECT

public:
#pragma pack(push, 1)
    // Byte-exact copies of what the device sends; integers little-endian.
    struct TDeviceInformation
    {
        uint8_t boardVersion;
        uint8_t boardSubversion;
        char SN[16];
        // bit 0 valid, bits 1-2 board hardware type, bit 3 JTAG protected
        uint8_t flags;
    };
    struct TFirmwareInformation
    {
        uint8_t version;
        uint8_t subversion;
        uint8_t bugfix;
        uint8_t build[4];
        char name[16];
        // bit 0 valid: the device holds a valid firmware
        uint8_t flags;
    };
    struct TDeviceStatus
    {
        uint8_t reserved[8];
        uint8_t freeSlotsCount;
        uint8_t reserved2[3];
    };
#pragma pack(pop)

    // Reads the device's records and mode; throws UsbException when the
    // device does not answer, so that no half-read loader is ever handed out.
    explicit UsbLoader(USBInterface *usbInterface);
    ~UsbLoader() override;

    // Copies of the records as last read; any thread.
    TDeviceInformation getDeviceInformation() const;
    TFirmwareInformation getFirmwareInformation() const;
    TDeviceStatus getDeviceStatus() const;
    // Whether the device ran its loader rather than its application when
    // the records were last read; any thread.
    bool isInFlashingMode() const;

    // How long the device may stay busy before an operation gives up on it,
    // in the protocol's unscaled milliseconds (see LoaderTiming).
    void setBusyLimit(int milliseconds)
    {
        m_busyLimitMs = milliseconds;
    }

    // Why the last write operation ended in firmwareReprogrammingFailed(),
    // for a caller that tells the user; None after one that succeeded. Any
    // thread; set before the signal is emitted. ImageNotAccepted: the whole
    // image went out, and the device then reported no valid firmware; Other
    // includes a device that stopped answering.
    enum class Failure { None, DeviceStayedBusy, Other, ImageNotAccepted };
    Failure lastFailure() const
    {
        return m_lastFailure;
    }

signals:
    void deviceInformationChanged(bool valid, QString SN, uchar boardVersion, uchar boardSubversion,
        uchar boardHwType = 0, bool jtagProtected = false);
    void firmwareReprogrammed(uchar version, uchar subversion, uchar bugfix, uint build, QString name);
    void firmwareReprogrammingFailed();
    void deviceInformationFreeSlotsChanged(uchar freeSlotsCount);
    void programmingProgress(int progress);
    void factoryConfigurationReceived(QByteArray confData);
    void factoryConfigurationSent();
    void userSettingsReceived(QByteArray settingsData, uchar slotNumber);
    void userSettingsSent(uchar slotNumber);

public slots:
    void flashFirmware(QSharedPointer<FirmwareFile> firmware);
    void flashDeviceInformation(QString SN, uchar boardVersion, uchar boardSubersion, uchar boardHwType = 0);
    void flashAes256Keys(std::vector<uint8_t> primaryKey, std::vector<uint8_t> secondaryKey);
    void startApp();
    void startFlashingMode();
    void enableJtagProtection();
    void restartDevice();
    void sendFactoryConfiguration(QByteArray data);
    void readFactoryConfiguration();
    void sendUserSettings(QByteArray data, uchar slotNumber = 0);
    void readUserSettings(uchar slotNumber = 0);
    void clearAllUserSettings();

private:
    void readDeviceState();
    // False when the device was still busy at the busy limit.
    bool waitWhileBusy();
    // Reads the records again when the interface was rebound since they were
    // read (the device restarted, perhaps into its other mode).
    void refreshStateIfRebound();
    // The flashing-mode bracket: enters flashing mode when the device is not
    // in it (wasInFlashingMode tells which); false when it is not in it
    // afterwards. Leaving sends the device back to its application only if
    // entering took it out.
    bool enterFlashingMode(bool &wasInFlashingMode);
    void leaveFlashingModeIfEntered(bool wasInFlashingMode);
    void sendShortCommand(uint8_t request);
    QByteArray readRecord(uint8_t request, int size);
    bool writeSettingsBlocks(const QByteArray (&blocks)[4]);
    // Every write operation starts with beginWrite and, when it fails, ends
    // with reportFailure, which notes why before it emits the signal.
    void beginWrite();
    void reportFailure(Failure failure = Failure::Other);

    // Runs a device operation to its end; a USB error or a failed allocation
    // ends it and yields false instead of leaving the slot.
    template <typename Operation> static bool completes(Operation operation);

    TFirmwareInformation firmwareInformation {};
    TDeviceInformation deviceInformation {};
    TDeviceStatus deviceStatus {};
    bool flashingModeActive = false;
    mutable QMutex m_recordsMutex; // guards the four fields above
    int m_stateBindCount = 0; // the interface's bind count when the records were read
    int m_busyLimitMs = -1;
    bool m_stayedBusy = false; // the operation under way gave up waiting for the device
    std::atomic<Failure> m_lastFailure {Failure::None};
};

template <typename Operation> bool UsbLoader::completes(Operation operation)
{
    try {
        operation();
        return true;
    } catch (const UsbException &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

static_assert(sizeof(UsbLoader::TDeviceInformation) == 19, "device information is 19 bytes");
static_assert(offsetof(UsbLoader::TDeviceInformation, SN) == 2, "serial number at 2");
static_assert(offsetof(UsbLoader::TDeviceInformation, flags) == 18, "device flags at 18");
static_assert(sizeof(UsbLoader::TFirmwareInformation) == 24, "firmware information is 24 bytes");
static_assert(offsetof(UsbLoader::TFirmwareInformation, build) == 3, "build at 3");
static_assert(offsetof(UsbLoader::TFirmwareInformation, name) == 7, "firmware name at 7");
static_assert(offsetof(UsbLoader::TFirmwareInformation, flags) == 23, "firmware flags at 23");
static_assert(sizeof(UsbLoader::TDeviceStatus) == 12, "device status is 12 bytes");
static_assert(offsetof(UsbLoader::TDeviceStatus, freeSlotsCount) == 8, "free slots at 8");

Q_DECLARE_METATYPE(std::vector<uint8_t>)
