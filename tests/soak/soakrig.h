#pragma once

// The soak's bench: one simulated Vantor device on a simulated bus, and the
// program's own USB side wired as the window has it (loader factory, driver
// on its worker thread "USB driver thread", single-device proxy). Flashes go
// in through the proxy and their answers come back through it. Main thread.

#include "soakfaults.h"

#include "protocol/sim/simvantormodel.h"

#include <QObject>
#include <QSharedPointer>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>

class DeviceSide;
class FirmwareFile;

class SoakRig : public QObject
{
    Q_OBJECT

public:
    // The protocol's timing runs at this scale; the device stays busy for
    // busyTime after every write, as a real one does.
    SoakRig(double timeScale, std::chrono::milliseconds busyTime);
    ~SoakRig() override;

    // What came back for the flashes since the last clearAnswers.
    struct Answers
    {
        int successes = 0;
        int failures = 0;
        int total() const { return successes + failures; }
    };

    // Waits until the device is on the bus, every change has reached the
    // driver and the proxy, and the proxy has a device; false past limit.
    // A device that is there but got no loader (a fault hit its discovery)
    // stays so until it is plugged in again, which this does, as a user would.
    bool settle(std::chrono::milliseconds limit);
    int replugs() const { return m_replugs; }
    // Asks for a flash through the proxy and waits for its first answer;
    // false when none came within limit.
    bool flash(std::chrono::milliseconds limit);
    // As the window does after a success.
    void startApplication();
    Answers answers() const { return m_answers; }
    // Whether the device holds the whole image last flashed and calls its
    // firmware valid: what a flash reported done must have left behind.
    bool deviceHoldsImage() const;
    void clearAnswers() { m_answers = {}; }

    // How many calls of each operation a healthy flash makes.
    std::map<SimOp, std::size_t> countCallsOfAFlash();
    void arm(const DrawnFault &fault);
    // Takes every fault back and brings a device that left for good back
    // onto the bus, as plugging it in again would.
    void disarm();

    struct Census
    {
        int openFiles = 0;
        int liveInterfaceHandles = 0;
        int invalidHandleUses = 0;
        int devices = 0; // USBDevice objects of the driver
        int loaders = 0;
    };
    // Counted while nothing runs on the worker thread.
    Census census();
    // Tears the USB side down as the program's shutdown does, then counts what is left.
    Census shutDown();

    // The bus's last calls, for the message of a failed run.
    std::string recentCalls() const;

private:
    void drain();
    // The device on the bus and every change of it handled; false past limit.
    bool quiet(std::chrono::milliseconds limit);

    std::shared_ptr<SimUsbBus> m_bus = std::make_shared<SimUsbBus>();
    std::shared_ptr<SimVantorModel> m_model;
    SimUsbBus::DeviceId m_deviceId = -1;
    QTemporaryDir m_files;
    QSharedPointer<FirmwareFile> m_firmware;
    std::unique_ptr<DeviceSide> m_side;
    bool m_attached = false;
    int m_replugs = 0;
    Answers m_answers;
    std::atomic<int> m_busChanges {0}; // counted on whichever thread changes the bus
    int m_listenerId = 0;
};
