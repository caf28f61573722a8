#pragma once

// One unit of the station: the device at one USB port, from its arrival to
// its goal state (the file's firmware and, with a serial range, a serial
// from it). It gets a driver that sees only its port, on a worker thread
// of its own, so that its restarts are followed at that port as the same
// unit and a slow or failing device never holds up another. Main thread;
// the loader runs on the unit's worker thread; its driver runs on the
// program's device platform (protocol/deviceplatform.h).

#include "station/driverloaders.h"
#include "station/flashrun.h"
#include "station/identityrun.h"
#include "station/restartwatch.h"
#include "station/unitoutcome.h"

#include "firmware/firmwarefile.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

class StationUnit : public QObject
{
    Q_OBJECT

public:
    // What every unit of one station works towards.
    struct Goal
    {
        QSharedPointer<FirmwareFile> firmware;
        bool reflashCurrent = false;
        // With a serial range: what the serial a device already has means
        // for the unit of USB serial holder (checked before anything is
        // written to it), the next serial reserved durably for holder
        // (empty with the reason when there is none), and the end of a
        // reservation (written, or burnt). Claims and reservations are
        // answered at once or later, on the unit's thread.
        enum class Claim {
            // Not of the range: the unit gets one of it.
            NotOfRange,
            // Of the range, and the unit's own: it keeps it.
            Kept,
            // Another unit has it, or the state was not written: the unit fails with the reason.
            Refused,
        };
        bool withSerials = false;
        using ClaimAnswer = std::function<void(Claim claim, const QString &reason)>;
        std::function<void(const QString &serial, const QString &holder, const ClaimAnswer &answer)> claim;
        using ReserveAnswer = std::function<void(const QString &serial, const QString &reason)>;
        std::function<void(const QString &holder, const ReserveAnswer &answer)> reserve;
        std::function<void(const QString &serial, bool written)> settle;
        uchar boardVersion = 0;
        uchar boardSubversion = 0;
    };

    StationUnit(const QString &port, const Goal &goal,
        const QList<QSharedPointer<UsbInterfaceHandlerFactory>> &factories);
    // Ends the worker thread once what was asked of it is done, and waits
    // for that: as long as the loader's current operation, which the
    // protocol's own limits bound.
    ~StationUnit() override;

    void start();
    const QString &port() const { return m_port; }
    // Whether the device's loader was found, and what it said about itself then.
    bool isOpened() const { return m_opened; }
    const LoaderDevice &device() const { return m_device; }
    QJsonObject firmwareBefore() const { return m_firmwareBefore; }
    QJsonObject firmwareAfter() const { return m_firmwareAfter; }
    bool isFinished() const { return m_finished; }
    UnitResult result() const { return m_result; }
    QString reason() const { return m_reason; }
    double seconds() const;
    QString serialAfter() const { return m_serialAfter; }
    // What became of a serial of the range for this unit, once finished.
    enum class SerialEnd {
        // None of the range was reserved nor kept.
        None,
        // Its reserved serial was written and read back.
        Given,
        // Its reserved serial's write was never confirmed.
        Burnt,
        // The device already had a serial of the range, its own.
        Kept,
    };
    SerialEnd serialEnd() const { return m_serialEnd; }
    // The serial that serialEnd() speaks of; empty with None.
    QString settledSerial() const { return m_settledSerial; }
    QString firmwareAfterText() const { return m_firmwareAfterText; }
    // The unit's line of the record, without the station's own fields.
    QJsonObject recordFields() const;
    // Ends the unit as aborted; finished() follows, once the serial it
    // asked for has come (to be burnt), at most serialWaitMs later.
    void abort();
    static constexpr int serialWaitMs = 5000;
    // Asks the worker thread to end once what was asked of it is done,
    // without waiting; retired() follows once it has.
    void retire();

signals:
    // The device's loader was found; device() tells what it said.
    void opened();
    void progress(int percent);
    // The image is complete; the device is writing it.
    void finishing();
    // The device left for its restart after the flash, and came back.
    void deviceLeft();
    void deviceBack(const LoaderDevice &back);
    void phaseChanged(UnitPhase phase);
    void finished();
    // The worker thread has ended: the unit can go without a wait.
    void retired();

private:
    void lookForDevice();
    void open(const LoaderDevice &device);
    void claimed(Goal::Claim claim, const QString &reason);
    // Flashes the device, unless it has the firmware already, then gives it its identity.
    void update();
    void flash();
    void identity();
    void writeIdentity(const QString &reason);
    void beginPhase(UnitPhase phase);
    void endPhase();
    void finish(UnitResult result, const QString &reason = QString());

    QString m_port;
    Goal m_goal;
    std::unique_ptr<USBDriver> m_driver;
    std::unique_ptr<QThread> m_worker;
    std::unique_ptr<FlashRun> m_flash;
    std::unique_ptr<RestartWatch> m_watch;
    std::unique_ptr<IdentityRun> m_identity;
    LoaderDevice m_device;
    bool m_opened = false;
    // The device has a serial of the range, its own: none is written.
    bool m_keepsSerial = false;
    QElapsedTimer m_clock;
    QElapsedTimer m_phaseClock;
    UnitPhase m_phase = UnitPhase::Opening;
    bool m_phaseOpen = false;
    QJsonObject m_phases;
    int m_looks = 0;
    bool m_finished = false;
    UnitResult m_result = UnitResult::Failed;
    QString m_reason;
    QString m_serialBefore;
    QString m_serialAfter;
    QString m_boardAfter;
    QString m_reserved;
    // A serial was asked for and has not come; an end meanwhile waits for it.
    bool m_awaitingSerial = false;
    bool m_endWaits = false;
    SerialEnd m_serialEnd = SerialEnd::None;
    QString m_settledSerial;
    QJsonObject m_firmwareBefore;
    QJsonObject m_firmwareAfter;
    QString m_firmwareAfterText;
};
