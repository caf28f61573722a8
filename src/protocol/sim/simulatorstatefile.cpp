#include "protocol/sim/simulatorstatefile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSaveFile>

#include <cctype>
#include <cstring>

namespace {

const char formatName[] = "talvex-simulator-state";
const int formatVersion = 1;

QString hex(const std::vector<uint8_t> &bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex());
}

QString base64(const std::vector<uint8_t> &bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toBase64());
}

// Reads one field of a device entry; each reader fails with a problem text.
class EntryReader
{
public:
    EntryReader(const QJsonObject &object, QString *problem)
        : m_object(object)
        , m_problem(problem)
    { }

    bool hex(const QString &key, std::size_t size, std::vector<uint8_t> *out)
    {
        const QJsonValue value = m_object.value(key);
        return value.isString() ? hexText(key, value.toString(), size, out)
                                : fail(key, "is missing or not text");
    }

    bool hexText(const QString &what, const QString &text, std::size_t size, std::vector<uint8_t> *out)
    {
        const QByteArray latin = text.toLatin1();
        for (const char c : latin) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail(what, "is not hexadecimal");
        }
        if (latin.size() % 2 != 0 || std::size_t(latin.size() / 2) != size)
            return fail(what, QStringLiteral("is not %1 bytes").arg(size));
        const QByteArray bytes = QByteArray::fromHex(latin);
        out->assign(bytes.begin(), bytes.end());
        return true;
    }

    bool base64Text(
        const QString &what, const QJsonValue &value, uint32_t capacity, std::vector<uint8_t> *out)
    {
        if (!value.isString())
            return fail(what, "is missing or not text");
        const auto decoded = QByteArray::fromBase64Encoding(
            value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return fail(what, "is not base64");
        if (uint32_t(decoded.decoded.size()) > capacity)
            return fail(what, QStringLiteral("is larger than %1 bytes").arg(capacity));
        out->assign(decoded.decoded.begin(), decoded.decoded.end());
        return true;
    }

    bool base64(const QString &key, uint32_t capacity, std::vector<uint8_t> *out)
    {
        return base64Text(key, m_object.value(key), capacity, out);
    }

    bool array(const QString &key, QJsonArray *out)
    {
        const QJsonValue value = m_object.value(key);
        if (!value.isArray())
            return fail(key, "is missing or not a list");
        *out = value.toArray();
        return true;
    }

    bool fail(const QString &what, const QString &text)
    {
        *m_problem = QStringLiteral("\"%1\" %2").arg(what, text);
        return false;
    }

    const QJsonObject &object() const { return m_object; }

private:
    const QJsonObject &m_object;
    QString *m_problem;
};

template <typename Record> bool readRecord(EntryReader &reader, const QString &key, Record *record)
{
    std::vector<uint8_t> bytes;
    if (!reader.hex(key, sizeof(Record), &bytes))
        return false;
    std::memcpy(record, bytes.data(), sizeof(Record));
    return true;
}

} // namespace

SimulatorStateFile::SimulatorStateFile(QString path)
    : m_path(std::move(path))
{ }

QJsonObject SimulatorStateFile::encode(const VantorDeviceState &state)
{
    QJsonArray keys;
    for (const auto &key : state.keys)
        keys.append(hex(key));
    QJsonArray settings;
    for (const auto &slot : state.userSettings)
        settings.append(base64(slot));
    QJsonObject object;
    object.insert(QStringLiteral("deviceInformation"), hex(vantorBytes(state.identity)));
    object.insert(QStringLiteral("firmwareInformation"), hex(vantorBytes(state.firmware)));
    object.insert(QStringLiteral("freeSlots"), int(state.freeSlots));
    object.insert(QStringLiteral("keys"), keys);
    object.insert(QStringLiteral("imageAnnounced"), state.imageAnnounced);
    object.insert(QStringLiteral("imageInformation"), hex(vantorBytes(state.imageInformation)));
    object.insert(QStringLiteral("image"), base64(state.image));
    object.insert(QStringLiteral("factoryConfiguration"), base64(state.factoryConfiguration));
    object.insert(QStringLiteral("userSettings"), settings);
    return object;
}

bool SimulatorStateFile::decode(const QJsonObject &object, VantorDeviceState *state, QString *problem)
{
    EntryReader reader(object, problem);
    VantorDeviceState decoded;
    if (!readRecord(reader, QStringLiteral("deviceInformation"), &decoded.identity)
        || !readRecord(reader, QStringLiteral("firmwareInformation"), &decoded.firmware)
        || !readRecord(reader, QStringLiteral("imageInformation"), &decoded.imageInformation))
        return false;

    const QJsonValue freeSlots = object.value(QStringLiteral("freeSlots"));
    const int slotCount = freeSlots.toInt(-1);
    if (!freeSlots.isDouble() || slotCount < 0 || slotCount > 255 || freeSlots.toDouble() != slotCount)
        return reader.fail(QStringLiteral("freeSlots"), QStringLiteral("is not a number from 0 to 255"));
    decoded.freeSlots = uint8_t(slotCount);

    QJsonArray keys;
    if (!reader.array(QStringLiteral("keys"), &keys))
        return false;
    for (int i = 0; i < keys.size(); ++i) {
        std::vector<uint8_t> key;
        const QString what = QStringLiteral("keys[%1]").arg(i);
        if (!keys[i].isString())
            return reader.fail(what, QStringLiteral("is not text"));
        if (!reader.hexText(what, keys[i].toString(), vantorKeyBlockSize, &key))
            return false;
        decoded.keys.push_back(key);
    }

    const QJsonValue announced = object.value(QStringLiteral("imageAnnounced"));
    if (!announced.isBool())
        return reader.fail(QStringLiteral("imageAnnounced"), QStringLiteral("is missing or not true/false"));
    decoded.imageAnnounced = announced.toBool();
    if (!reader.base64(QStringLiteral("image"), VantorDevice::imageCapacity, &decoded.image)
        || !reader.base64(QStringLiteral("factoryConfiguration"), VantorDevice::factoryConfigurationCapacity,
            &decoded.factoryConfiguration))
        return false;
    const uint32_t announcedSize = vantorLoad32(decoded.imageInformation.dataSize);
    if (decoded.image.size() > (decoded.imageAnnounced ? announcedSize : 0))
        return reader.fail(QStringLiteral("image"), QStringLiteral("is larger than its announced size"));

    QJsonArray settings;
    if (!reader.array(QStringLiteral("userSettings"), &settings))
        return false;
    if (settings.size() != vantorUserSettingsSlots)
        return reader.fail(QStringLiteral("userSettings"), QStringLiteral("does not have 4 slots"));
    for (int i = 0; i < vantorUserSettingsSlots; ++i) {
        if (!reader.base64Text(QStringLiteral("userSettings[%1]").arg(i), settings[i],
                VantorDevice::userSettingsCapacity, &decoded.userSettings[std::size_t(i)]))
            return false;
    }
    *state = std::move(decoded);
    return true;
}

bool SimulatorStateFile::load(QString *error)
{
    QMutexLocker locker(&m_mutex);
    m_devices.clear();
    const QString where = QStringLiteral("TALVEX_SIMULATOR: key \"state\": file \"%1\"").arg(m_path);
    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(where, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1 is damaged: %2 at byte %3")
                     .arg(where, parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    const QJsonObject root = document.object();
    if (!document.isObject()
        || root.value(QStringLiteral("format")).toString() != QLatin1String(formatName)) {
        *error = QStringLiteral("%1 is not a simulator state file").arg(where);
        return false;
    }
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (version.toInt(-1) != formatVersion) {
        *error = QStringLiteral("%1 has version %2; this program reads version %3")
                     .arg(where,
                         version.isUndefined() ? QStringLiteral("(none)") : version.toVariant().toString())
                     .arg(formatVersion);
        return false;
    }
    const QJsonValue devices = root.value(QStringLiteral("devices"));
    if (!devices.isObject()) {
        *error = QStringLiteral("%1 is damaged: \"devices\" is missing or not an object").arg(where);
        return false;
    }
    const QJsonObject entries = devices.toObject();
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        VantorDeviceState state;
        QString problem = QStringLiteral("is not an object");
        if (!entry.value().isObject() || !decode(entry.value().toObject(), &state, &problem)) {
            *error = QStringLiteral("%1 is damaged: device \"%2\": %3").arg(where, entry.key(), problem);
            m_devices.clear();
            return false;
        }
        m_devices.insert(entry.key().toUtf8(), state);
    }
    return true;
}

std::optional<VantorDeviceState> SimulatorStateFile::state(const QByteArray &usbSerial) const
{
    QMutexLocker locker(&m_mutex);
    const auto found = m_devices.find(usbSerial);
    if (found == m_devices.end())
        return std::nullopt;
    return *found;
}

bool SimulatorStateFile::store(const QByteArray &usbSerial, const VantorDeviceState &state, QString *error)
{
    QMutexLocker locker(&m_mutex);
    m_devices.insert(usbSerial, state);
    QJsonObject devices;
    for (auto device = m_devices.cbegin(); device != m_devices.cend(); ++device)
        devices.insert(QString::fromUtf8(device.key()), encode(device.value()));
    QJsonObject root;
    root.insert(QStringLiteral("format"), QLatin1String(formatName));
    root.insert(QStringLiteral("version"), formatVersion);
    root.insert(QStringLiteral("devices"), devices);

    // QSaveFile writes a temporary file and renames it over the old one, so
    // a reader never sees half a file.
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(root).toJson()) >= 0 && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("cannot write \"%1\": %2").arg(m_path, file.errorString());
    return false;
}
