#include "durablefile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

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

bool writeAll(int fd, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Tries before giving up on a free temporary name: a clash is already rare.
constexpr int temporaryNameTries = 16;

DurableFile::Status statusOf(const struct stat &info)
{
    DurableFile::Status status;
    status.kind
        = S_ISREG(info.st_mode) ? DurableFile::Status::Kind::Regular : DurableFile::Status::Kind::Other;
    status.links = qint64(info.st_nlink);
    status.identity
        = QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino));
    return status;
}

} // namespace

bool DurableFile::status(const QString &fileName, Status *status, QString *error)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(fileName).constData(), &info) != 0) {
        *status = Status();
        if (errno == ENOENT)
            return true;
        *error = QStringLiteral("%1: %2").arg(fileName, systemError());
        return false;
    }
    *status = statusOf(info);
    return true;
}

bool DurableFile::replace(const QString &fileName, const QByteArray &data, QString *error)
{
    const QByteArray target = QFile::encodeName(fileName);
    QByteArray temporary;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < temporaryNameTries; ++tries) {
        // Another station or program writing beside this one never picks the same name.
        temporary = target + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 16) + ".tmp";
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(QFile::decodeName(temporary), systemError());
        return false;
    }
    const bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    const QString writeError = systemError();
    ::close(fd);
    if (!written || ::rename(temporary.constData(), target.constData()) != 0) {
        *error = QStringLiteral("%1: %2").arg(fileName, written ? systemError() : writeError);
        ::unlink(temporary.constData());
        return false;
    }
    // The rename itself is only kept once the directory is on disk.
    const QByteArray directory = QFile::encodeName(QFileInfo(fileName).absolutePath());
    const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) {
        *error = QStringLiteral("%1: %2").arg(QFile::decodeName(directory), systemError());
        if (dirFd >= 0)
            ::close(dirFd);
        return false;
    }
    ::close(dirFd);
    return true;
}

DurableLog::~DurableLog()
{
    close();
}

void DurableLog::close()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = -1;
}

bool DurableLog::isOpen() const
{
    return m_handle >= 0;
}

DurableLog::OpenResult DurableLog::open(const QString &fileName, QString *error)
{
    close();
    // Not blocking: a FIFO under the name must not hang the open; it is refused once open.
    const int fd = ::open(
        QFile::encodeName(fileName).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = systemError();
        return OpenResult::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        *error = systemError();
        ::close(fd);
        return held ? OpenResult::HeldElsewhere : OpenResult::Failed;
    }
    m_handle = fd;
    return OpenResult::Opened;
}

qint64 DurableLog::size(QString *error) const
{
    struct stat status
    {
    };
    if (::fstat(int(m_handle), &status) != 0) {
        *error = systemError();
        return -1;
    }
    return status.st_size;
}

bool DurableLog::status(DurableFile::Status *status, QString *error) const
{
    struct stat info
    {
    };
    if (::fstat(int(m_handle), &info) != 0) {
        *error = systemError();
        return false;
    }
    *status = statusOf(info);
    return true;
}

bool DurableLog::read(qint64 offset, char *data, qint64 length) const
{
    while (length > 0) {
        const ssize_t n = ::pread(int(m_handle), data, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool DurableLog::cut(qint64 length, QString *error)
{
    if (::ftruncate(int(m_handle), length) != 0 || ::fsync(int(m_handle)) != 0) {
        *error = systemError();
        return false;
    }
    return true;
}

bool DurableLog::append(const QByteArray &data, QString *error)
{
    const ssize_t n = ::write(int(m_handle), data.constData(), size_t(data.size()));
    if (n < 0) {
        *error = systemError();
        return false;
    }
    if (n != data.size()) {
        // A write of the rest tells why the first stopped short (a full disk); the caller cuts both.
        const ssize_t rest = ::write(int(m_handle), data.constData() + n, size_t(data.size() - n));
        *error = QStringLiteral("only %1 of %2 bytes written").arg(n).arg(data.size());
        if (rest < 0)
            *error += QStringLiteral(": ") + systemError();
        return false;
    }
    if (::fsync(int(m_handle)) != 0) {
        *error = systemError();
        return false;
    }
    return true;
}
