#include "protocol/sim/simulatorsetup.h"

#include "protocol/loadertiming.h"
#include "protocol/sim/simulatorconfig.h"
#include "protocol/sim/simulatorstatefile.h"
#include "protocol/sim/simvantormodel.h"

#include <QtGlobal>

#include <atomic>

namespace {

const char variableName[] = "TALVEX_SIMULATOR";

// Keeps one device's flash contents in the shared state file. A write that
// fails is reported once, so a run whose flashes will not survive says so.
std::function<void(const VantorDeviceState &)> stateWriter(
    const std::shared_ptr<SimulatorStateFile> &file, const QByteArray &usbSerial)
{
    auto warned = std::make_shared<std::atomic<bool>>(false);
    return [file, usbSerial, warned](const VantorDeviceState &state) {
        QString error;
        if (!file->store(usbSerial, state, &error) && !warned->exchange(true))
            qWarning("%s: %s", variableName, qPrintable(error));
    };
}

} // namespace

bool setUpSimulatorFromEnvironment(QString *error)
{
    if (!qEnvironmentVariableIsSet(variableName))
        return true;
    const QString value = qEnvironmentVariable(variableName);
    SimulatorConfig config;
    if (!parseSimulatorConfig(value, &config, error) || !setUpSimulator(value, simulatorBus(), error))
        return false;
    // Only the programs run at the configured timing; a test that sets up
    // devices keeps its own.
    LoaderTiming::setScale(config.timing);
    return true;
}

bool setUpSimulator(const QString &value, const std::shared_ptr<SimUsbBus> &bus, QString *error,
    std::vector<std::shared_ptr<SimVantorModel>> *models)
{
    SimulatorConfig config;
    if (!parseSimulatorConfig(value, &config, error))
        return false;
    std::shared_ptr<SimulatorStateFile> stateFile;
    if (!config.stateFile.isEmpty()) {
        stateFile = std::make_shared<SimulatorStateFile>(config.stateFile);
        if (!stateFile->load(error))
            return false;
    }

    // Everything is checked before the first device goes on the bus.
    std::vector<std::shared_ptr<SimVantorModel>> made;
    for (const QByteArray &serial : simulatorSerials(config)) {
        std::optional<VantorDeviceState> stored;
        if (stateFile)
            stored = stateFile->state(serial);
        const QString text = QString::fromUtf8(serial);
        auto model = std::make_shared<SimVantorModel>(text.toStdU16String(),
            stored ? *stored : simulatorInitialState(config, serial), simulatorBehaviour(config));
        for (const VantorFault &fault : simulatorFaults(config))
            model->device().injectFault(fault);
        model->device().setBusyForever(!config.busyMs);
        if (stateFile)
            model->device().setStateListener(stateWriter(stateFile, serial));
        made.push_back(model);
    }
    for (const auto &model : made)
        plugVantorDevice(bus, model);
    if (models)
        *models = made;
    return true;
}
