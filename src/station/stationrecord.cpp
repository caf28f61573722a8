#include "stationrecord.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Where the last whole line of fd ends (0 when there is none).
qint64 endOfLastLine(int fd, qint64 size)
{
    char block[4096];
    qint64 end = size;
    while (end > 0) {
        const qint64 start = qMax<qint64>(0, end - qint64(sizeof block));
        const ssize_t n = ::pread(fd, block, size_t(end - start), start);
        if (n != end - start)
            return -1;
        for (qint64 i = n - 1; i >= 0; --i) {
            if (block[i] == '\n')
                return start + i + 1;
        }
        end = start;
    }
    return 0;
}

} // namespace

StationRecord::~StationRecord()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool StationRecord::open(const QString &fileName, QString *error, qint64 *cutBytes)
{
    m_fileName = fileName;
    m_fd = ::open(QFile::encodeName(fileName).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, systemError());
        return false;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        *error = QStringLiteral("%1: another station is keeping this record").arg(fileName);
        return false;
    }
    struct stat status
    {
    };
    if (::fstat(m_fd, &status) != 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, systemError());
        return false;
    }
    const qint64 whole = endOfLastLine(m_fd, status.st_size);
    if (whole < 0 || (whole < status.st_size && (::ftruncate(m_fd, whole) != 0 || ::fsync(m_fd) != 0))) {
        *error
            = QStringLiteral("%1: its torn last line could not be cut off: %2").arg(fileName, systemError());
        return false;
    }
    if (cutBytes)
        *cutBytes = status.st_size - whole;
    return true;
}

bool StationRecord::append(const QJsonObject &line, QString *error)
{
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    // One write, so that no other line can come between its parts; a short
    // write leaves a torn line, which the next open() cuts off.
    const ssize_t n = ::write(m_fd, text.constData(), size_t(text.size()));
    if (n != text.size() || ::fsync(m_fd) != 0) {
        *error = QStringLiteral("%1: the unit's line was not written: %2").arg(m_fileName, systemError());
        return false;
    }
    return true;
}
