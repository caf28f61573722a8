#pragma once

// The device commands of talvex-cli, each one entry of one table: its name,
// its arguments, its help, what it runs and what it reports. What every
// device command shares (--device, --json, --help, and opening the USB side
// and choosing the device) is done once, here. Main thread.

#include "devicecommandline.h"
#include "devicesession.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What a command's run works with: its parsed command line and, from the
// first time it asks, the session and the device the command works on.
class DeviceCommandContext
{
public:
    DeviceCommandContext(const QString &command, const DeviceCommandLine &commandLine);
    ~DeviceCommandContext();

    const QString &command() const { return m_command; }
    const DeviceCommandLine &commandLine() const { return m_commandLine; }
    // The USB side, started at the first call.
    DeviceSession &session();
    // The device named by --device, or the only one; chosen at the first
    // call, which ends the command when there is none or several.
    const DeviceSession::Device &device();
    // Ends the command with status and "talvex-cli COMMAND: message".
    [[noreturn]] void fail(int status, const QString &message) const;

private:
    QString m_command;
    const DeviceCommandLine &m_commandLine;
    std::unique_ptr<DeviceSession> m_session;
    std::optional<DeviceSession::Device> m_device;
};

struct DeviceCommand
{
    // Which devices a command works on, and so whether it takes --device.
    enum class Devices { One, Every, OneOrAll };

    const char *name;
    // The usage line after "talvex-cli ".
    const char *usage;
    // The command and its arguments, and what it does, for the tool's help.
    const char *synopsis;
    const char *summary;
    // The command's own help, printed after its usage line.
    const char *help;
    int positional;
    QList<QCommandLineOption> options;
    Devices devices;
    // Runs the command; returns what it reports on stdout. Ends the command
    // by throwing CommandError.
    std::function<QString(DeviceCommandContext &)> run;
    // Whether --wait means anything: false for a command that waits for devices by itself.
    bool takesWait = true;
};

// Every device command, in the order the tool's help lists them.
const std::vector<DeviceCommand> &deviceCommands();
// The command named name, or null.
const DeviceCommand *findDeviceCommand(const QString &name);
// Parses the arguments as command's command line and runs it.
int runDeviceCommand(const DeviceCommand &command, const QStringList &arguments);
// The lines of the tool's help that list the device commands.
QString deviceCommandsHelp();
