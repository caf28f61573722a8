#include "protocol/sim/simulatorsetup.h"

#include "protocol/loadertiming.h"
#include "protocol/sim/simulatorconfig.h"
#include "protocol/sim/simulatorstatefile.h"
#include "protocol/sim/simvantormodel.h"
#include "protocol/sim/vantorreturntimer.h"

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

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

// The timers of the scripted arrivals and leavings, kept for the program's
// life; each runs its action on a thread of its own. leaveMs -1: stays.
std::mutex scheduleMutex;
std::vector<std::unique_ptr<VantorReturnTimer>> &schedule()
{
    static std::vector<std::unique_ptr<VantorReturnTimer>> timers;
    return timers;
}

void schedulePlugging(const std::shared_ptr<SimUsbBus> &bus, const std::shared_ptr<SimVantorModel> &model,
    int arriveMs, int leaveMs)
{
    // The bus owns the model once it is plugged; the timers hold it weakly.
    const std::weak_ptr<SimUsbBus> weakBus = bus;
    auto plugged = std::make_shared<std::atomic<SimUsbBus::DeviceId>>(-1);
    auto arrival = std::make_unique<VantorReturnTimer>();
    const auto plug = [weakBus, model, plugged] {
        if (const std::shared_ptr<SimUsbBus> bus = weakBus.lock())
            *plugged = plugVantorDevice(bus, model);
    };
    if (arriveMs == 0)
        plug();
    else
        arrival->start(std::chrono::milliseconds(arriveMs), plug);
    std::lock_guard<std::mutex> lock(scheduleMutex);
    schedule().push_back(std::move(arrival));
    if (leaveMs < 0)
        return;
    auto leaving = std::make_unique<VantorReturnTimer>();
    leaving->start(std::chrono::milliseconds(leaveMs), [weakBus, model, plugged] {
        const std::shared_ptr<SimUsbBus> bus = weakBus.lock();
        if (!bus || *plugged < 0)
            return;
        // Pulled out for good: a device in the middle of a restart must not come back.
        model->device().setRestartDelay(std::nullopt);
        bus->unplug(*plugged);
        while (model->device().isReturnPending())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bus->unplug(*plugged);
    });
    schedule().push_back(std::move(leaving));
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
    int index = 0;
    for (const QByteArray &serial : simulatorSerials(config)) {
        std::optional<VantorDeviceState> stored;
        if (stateFile)
            stored = stateFile->state(serial);
        const QString text = QString::fromUtf8(serial);
        auto model = std::make_shared<SimVantorModel>(text.toStdU16String(),
            stored ? *stored : simulatorInitialState(config, serial), simulatorBehaviour(config));
        if (simulatorFaultsArmedOn(config, index++)) {
            for (const VantorFault &fault : simulatorFaults(config))
                model->device().injectFault(fault);
        }
        model->device().setBusyForever(!config.busyMs);
        if (stateFile)
            model->device().setStateListener(stateWriter(stateFile, serial));
        made.push_back(model);
    }
    for (size_t i = 0; i < made.size(); ++i) {
        const int arrives = i < config.arriveMs.size() ? config.arriveMs[i] : 0;
        const int leaves = i < config.leaveMs.size() ? config.leaveMs[i].value_or(-1) : -1;
        if (arrives == 0 && leaves < 0)
            plugVantorDevice(bus, made[i]);
        else
            schedulePlugging(bus, made[i], arrives, leaves);
    }
    if (models)
        *models = made;
    return true;
}
