#pragma once

// The value of TALVEX_SIMULATOR: which simulated Vantor devices the
// programs find on the simulated bus, what they hold when they start and
// how they behave. Plain data and pure functions; no threads.

#include "protocol/sim/vantordevice.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct SimulatorConfig
{
    int devices = 1;
    VantorMode mode = VantorMode::Application;
    QByteArray serial = "ZOK000001"; // UTF-8, at most 16 bytes
    uint8_t boardVersion = 2;
    uint8_t boardSubversion = 0;
    uint8_t hwType = 0;
    bool jtag = false;
    uint8_t firmwareVersion = 1;
    uint8_t firmwareSubversion = 0;
    uint8_t firmwareBugfix = 0;
    uint32_t build = 1;
    QByteArray firmwareName = "master"; // at most 16 bytes
    bool firmwareValid = true;
    std::optional<int> restartMs = 0; // none: a restarted device never returns
    std::optional<int> busyMs = 0; // none: the device stays busy after a write for good
    int failBatch = 0; // the nth bulk write fails; 0: none
    int unplugBatch = 0; // the device vanishes at the nth bulk write; 0: none
    QString stateFile;
    // When each device (in order) is plugged in and pulled out, in ms after
    // the set-up; a device without an arrival is there from the start, one
    // without a leaving (none) stays.
    std::vector<int> arriveMs;
    std::vector<std::optional<int>> leaveMs;
    // The devices (numbered from 1) that fail-batch and unplug-batch arm;
    // empty: every device.
    std::vector<int> faultDevices;
    // The scale of the programs' own protocol pauses and limits while they
    // run on simulated devices (LoaderTiming); 1 is the real timing.
    double timing = 1;
};

// Reads a value of comma-separated key=value pairs; an empty value (or
// "1") means one device with the defaults. The list keys (arrive, leave,
// fault-devices) take comma-separated values too: an item without "=" goes
// on the list before it. False, with a one-line message
// naming the key, for an unknown or repeated key or a bad value.
bool parseSimulatorConfig(const QString &value, SimulatorConfig *config, QString *error);

// The serial of each device, used for both its USB serial string and its
// identity record: the configured one, then counted on from its trailing
// digits (ZOK000100, ZOK000101, ...; a serial without digits gets 1, 2, ...).
QList<QByteArray> simulatorSerials(const SimulatorConfig &config);

// What a device with this serial holds when no state file says otherwise.
VantorDeviceState simulatorInitialState(const SimulatorConfig &config, const QByteArray &serial);
VantorDeviceBehaviour simulatorBehaviour(const SimulatorConfig &config);
// The faults the configuration arms on every device.
std::vector<VantorFault> simulatorFaults(const SimulatorConfig &config);
// Whether the faults are armed on device number index (from 0).
bool simulatorFaultsArmedOn(const SimulatorConfig &config, int index);
