#include "protocol/sim/simulatorconfig.h"

#include <QSet>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <functional>

namespace {

const int maxDevices = 32;
const int maxMilliseconds = 3600 * 1000;
const int textFieldBytes = 16;

bool isDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// A decimal number from min to max, nothing else around it.
bool readNumber(const QString &text, qulonglong min, qulonglong max, qulonglong *number)
{
    if (!isDigits(text) || text.size() > 12)
        return false;
    *number = text.toULongLong();
    return *number >= min && *number <= max;
}

template <typename Number> bool readInto(const QString &text, qulonglong min, qulonglong max, Number *out)
{
    qulonglong number = 0;
    if (!readNumber(text, min, max, &number))
        return false;
    *out = Number(number);
    return true;
}

// Dotted numbers of 0-255 each, exactly parts of them.
bool readDotted(const QString &text, int parts, uint8_t *out)
{
    const QStringList pieces = text.split(QLatin1Char('.'));
    if (pieces.size() != parts)
        return false;
    for (int i = 0; i < parts; ++i) {
        if (!readInto(pieces[i], 0, 255, &out[i]))
            return false;
    }
    return true;
}

bool readFlag(const QString &text, bool *flag)
{
    if (text != QLatin1String("0") && text != QLatin1String("1"))
        return false;
    *flag = text == QLatin1String("1");
    return true;
}

// Milliseconds up to an hour, or "never" (none).
bool readMillisecondsOrNever(const QString &text, std::optional<int> *out)
{
    if (text == QLatin1String("never")) {
        out->reset();
        return true;
    }
    int ms = 0;
    if (!readInto(text, 0, maxMilliseconds, &ms))
        return false;
    *out = ms;
    return true;
}

// A decimal fraction from 0 to 1, such as 0.01.
bool readFraction(const QString &text, double *out)
{
    const int point = text.indexOf(QLatin1Char('.'));
    const QString whole = point < 0 ? text : text.left(point);
    const QString fraction = point < 0 ? QString() : text.mid(point + 1);
    if (!isDigits(whole) || (point >= 0 && !isDigits(fraction)) || fraction.size() > 6)
        return false;
    const double value = text.toDouble();
    if (value > 1)
        return false;
    *out = value;
    return true;
}

bool readText(const QString &text, QByteArray *out)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > textFieldBytes)
        return false;
    *out = bytes;
    return true;
}

// Comma-separated numbers from min to max, or "-" where none is given when
// allowNone.
bool readList(const QString &text, int min, int max, bool allowNone, std::vector<std::optional<int>> *out)
{
    out->clear();
    for (const QString &piece : text.split(QLatin1Char(','))) {
        const QString item = piece.trimmed();
        if (allowNone && item == QLatin1String("-")) {
            out->push_back(std::nullopt);
            continue;
        }
        int number = 0;
        if (!readInto(item, qulonglong(min), qulonglong(max), &number))
            return false;
        out->push_back(number);
    }
    return true;
}

bool readNumbers(const QString &text, int min, int max, std::vector<int> *out)
{
    std::vector<std::optional<int>> list;
    if (!readList(text, min, max, false, &list))
        return false;
    out->clear();
    for (const std::optional<int> &item : list)
        out->push_back(*item);
    return true;
}

struct Key
{
    const char *name;
    const char *expected;
    std::function<bool(const QString &, SimulatorConfig &)> read;
};

const QList<Key> &keys()
{
    static const QList<Key> table = {
        {"devices", "a number from 1 to 32",
            [](const QString &v, SimulatorConfig &c) { return readInto(v, 1, maxDevices, &c.devices); }},
        {"mode", "app or loader",
            [](const QString &v, SimulatorConfig &c) {
                if (v != QLatin1String("app") && v != QLatin1String("loader"))
                    return false;
                c.mode = v == QLatin1String("app") ? VantorMode::Application : VantorMode::Flashing;
                return true;
            }},
        {"serial", "text of at most 16 bytes",
            [](const QString &v, SimulatorConfig &c) { return readText(v, &c.serial); }},
        {"board", "X.Y with numbers 0-255",
            [](const QString &v, SimulatorConfig &c) {
                uint8_t parts[2];
                if (!readDotted(v, 2, parts))
                    return false;
                c.boardVersion = parts[0];
                c.boardSubversion = parts[1];
                return true;
            }},
        {"hw-type", "a number from 0 to 3",
            [](const QString &v, SimulatorConfig &c) { return readInto(v, 0, 3, &c.hwType); }},
        {"jtag", "0 or 1", [](const QString &v, SimulatorConfig &c) { return readFlag(v, &c.jtag); }},
        {"firmware", "X.Y.Z with numbers 0-255",
            [](const QString &v, SimulatorConfig &c) {
                uint8_t parts[3];
                if (!readDotted(v, 3, parts))
                    return false;
                c.firmwareVersion = parts[0];
                c.firmwareSubversion = parts[1];
                c.firmwareBugfix = parts[2];
                return true;
            }},
        {"build", "a number from 0 to 4294967295",
            [](const QString &v, SimulatorConfig &c) { return readInto(v, 0, 0xFFFFFFFFu, &c.build); }},
        {"fwname", "text of at most 16 bytes",
            [](const QString &v, SimulatorConfig &c) { return readText(v, &c.firmwareName); }},
        {"fwvalid", "0 or 1",
            [](const QString &v, SimulatorConfig &c) { return readFlag(v, &c.firmwareValid); }},
        {"restart-ms", "a number of milliseconds up to 3600000, or never",
            [](const QString &v, SimulatorConfig &c) { return readMillisecondsOrNever(v, &c.restartMs); }},
        {"busy-ms", "a number of milliseconds up to 3600000, or never",
            [](const QString &v, SimulatorConfig &c) { return readMillisecondsOrNever(v, &c.busyMs); }},
        {"fail-batch", "a number from 1 up",
            [](const QString &v, SimulatorConfig &c) { return readInto(v, 1, INT_MAX, &c.failBatch); }},
        {"unplug-batch", "a number from 1 up",
            [](const QString &v, SimulatorConfig &c) { return readInto(v, 1, INT_MAX, &c.unplugBatch); }},
        {"state", "a file name",
            [](const QString &v, SimulatorConfig &c) {
                c.stateFile = v;
                return !v.isEmpty();
            }},
        {"arrive", "milliseconds up to 3600000, one per device, separated by commas",
            [](const QString &v, SimulatorConfig &c) {
                return readNumbers(v, 0, maxMilliseconds, &c.arriveMs);
            }},
        {"leave", "milliseconds up to 3600000 or -, one per device, separated by commas",
            [](const QString &v, SimulatorConfig &c) {
                return readList(v, 0, maxMilliseconds, true, &c.leaveMs);
            }},
        {"fault-devices", "device numbers from 1 to 32, separated by commas",
            [](const QString &v, SimulatorConfig &c) {
                return readNumbers(v, 1, maxDevices, &c.faultDevices);
            }},
        {"timing", "a number from 0 to 1 with at most 6 decimals",
            [](const QString &v, SimulatorConfig &c) { return readFraction(v, &c.timing); }},
    };
    return table;
}

QString message(const QString &text)
{
    return QStringLiteral("TALVEX_SIMULATOR: ") + text;
}

} // namespace

bool parseSimulatorConfig(const QString &value, SimulatorConfig *config, QString *error)
{
    SimulatorConfig parsed;
    const QString whole = value.trimmed();
    QSet<QString> seen;
    const QStringList rawItems = whole == QLatin1String("1") ? QStringList() : whole.split(QLatin1Char(','));
    static const QStringList listKeys {
        QStringLiteral("arrive"), QStringLiteral("leave"), QStringLiteral("fault-devices")};
    // A list key's further values are items of their own.
    QStringList items;
    for (const QString &rawItem : rawItems) {
        const QString item = rawItem.trimmed();
        if (!item.contains(QLatin1Char('=')) && !items.isEmpty()
            && listKeys.contains(items.last().section(QLatin1Char('='), 0, 0).trimmed())) {
            items.last() += QLatin1Char(',') + item;
            continue;
        }
        items << item;
    }
    for (const QString &item : items) {
        if (item.isEmpty())
            continue;
        const int equals = item.indexOf(QLatin1Char('='));
        if (equals < 0) {
            *error = message(QStringLiteral("\"%1\" is not a key=value pair").arg(item));
            return false;
        }
        const QString name = item.left(equals).trimmed();
        const QString text = item.mid(equals + 1).trimmed();
        const Key *key = nullptr;
        for (const Key &candidate : keys()) {
            if (name == QLatin1String(candidate.name))
                key = &candidate;
        }
        if (!key) {
            *error = message(QStringLiteral("unknown key \"%1\"").arg(name));
            return false;
        }
        if (seen.contains(name)) {
            *error = message(QStringLiteral("key \"%1\" is given twice").arg(name));
            return false;
        }
        seen.insert(name);
        if (!key->read(text, parsed)) {
            *error = message(QStringLiteral("bad value \"%1\" for key \"%2\" (expected %3)")
                                 .arg(text, name, QLatin1String(key->expected)));
            return false;
        }
    }
    const QList<QByteArray> serials = simulatorSerials(parsed);
    if (serials.last().size() > textFieldBytes) {
        *error = message(QStringLiteral("key \"devices\": counting on from serial \"%1\" gives \"%2\", "
                                        "longer than 16 bytes")
                             .arg(QString::fromUtf8(parsed.serial), QString::fromUtf8(serials.last())));
        return false;
    }
    if (int(parsed.arriveMs.size()) > parsed.devices || int(parsed.leaveMs.size()) > parsed.devices) {
        *error = message(QStringLiteral("keys \"arrive\" and \"leave\" give at most one time per device"));
        return false;
    }
    for (size_t i = 0; i < parsed.leaveMs.size(); ++i) {
        const int arrives = i < parsed.arriveMs.size() ? parsed.arriveMs[i] : 0;
        if (parsed.leaveMs[i] && *parsed.leaveMs[i] < arrives) {
            *error = message(
                QStringLiteral("key \"leave\": device %1 would leave before it arrives").arg(i + 1));
            return false;
        }
    }
    *config = parsed;
    return true;
}

QList<QByteArray> simulatorSerials(const SimulatorConfig &config)
{
    int digitsFrom = config.serial.size();
    while (digitsFrom > 0 && config.serial[digitsFrom - 1] >= '0' && config.serial[digitsFrom - 1] <= '9')
        --digitsFrom;
    const QByteArray stem = config.serial.left(digitsFrom);
    const QByteArray digits = config.serial.mid(digitsFrom);
    const qulonglong first = digits.isEmpty() ? 0 : digits.toULongLong();

    QList<QByteArray> serials {config.serial};
    for (int i = 1; i < config.devices; ++i) {
        serials.append(stem + QByteArray::number(first + qulonglong(i)).rightJustified(digits.size(), '0'));
    }
    return serials;
}

VantorDeviceState simulatorInitialState(const SimulatorConfig &config, const QByteArray &serial)
{
    VantorDeviceState state;
    state.identity.boardVersion = config.boardVersion;
    state.identity.boardSubversion = config.boardSubversion;
    vantorSetText(state.identity.serialNumber, serial.toStdString());
    state.identity.flags = uint8_t(
        vantorIdentityValid | (config.hwType << vantorHwTypeShift) | (config.jtag ? vantorJtagProtected : 0));
    state.firmware = vantorFirmwareInformation(config.firmwareVersion, config.firmwareSubversion,
        config.firmwareBugfix, config.build, config.firmwareName.toStdString(), config.firmwareValid);
    return state;
}

VantorDeviceBehaviour simulatorBehaviour(const SimulatorConfig &config)
{
    VantorDeviceBehaviour behaviour;
    behaviour.powerOnMode = config.mode;
    if (config.restartMs)
        behaviour.restartDelay = std::chrono::milliseconds(*config.restartMs);
    else
        behaviour.restartDelay.reset();
    behaviour.busyTime = std::chrono::milliseconds(config.busyMs.value_or(0));
    return behaviour;
}

std::vector<VantorFault> simulatorFaults(const SimulatorConfig &config)
{
    std::vector<VantorFault> faults;
    if (config.failBatch > 0) {
        VantorFault fault;
        fault.action = VantorFault::Action::FailBulkWrite;
        fault.nth = config.failBatch;
        faults.push_back(fault);
    }
    if (config.unplugBatch > 0) {
        VantorFault fault;
        fault.action = VantorFault::Action::LeaveAtBulkWrite;
        fault.nth = config.unplugBatch;
        faults.push_back(fault);
    }
    return faults;
}

bool simulatorFaultsArmedOn(const SimulatorConfig &config, int index)
{
    return config.faultDevices.empty()
        || std::find(config.faultDevices.begin(), config.faultDevices.end(), index + 1)
        != config.faultDevices.end();
}
