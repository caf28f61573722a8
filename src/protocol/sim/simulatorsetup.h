#pragma once

// Start-up of the simulated devices: when TALVEX_SIMULATOR is set, the
// programs run on the simulated bus with the Vantor devices its value
// describes. Called once, on the main thread, before the USB side starts.

#include <QString>

#include <memory>
#include <vector>

class SimUsbBus;
class SimVantorModel;

// Plugs the devices TALVEX_SIMULATOR describes into simulatorBus() and sets
// the protocol's timing it asks for. Without the variable it does nothing
// and returns true. On a bad value or a state
// file that cannot be read it plugs nothing and returns false with a
// one-line message in error.
bool setUpSimulatorFromEnvironment(QString *error);

// The same for a given value and bus; models, when given, receives the
// devices plugged, in order.
bool setUpSimulator(const QString &value, const std::shared_ptr<SimUsbBus> &bus, QString *error,
    std::vector<std::shared_ptr<SimVantorModel>> *models = nullptr);
