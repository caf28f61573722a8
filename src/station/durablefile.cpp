#include "durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

} // namespace

bool DurableFile::replace(const QString &fileName, const QByteArray &data, QString *error)
{
    const QByteArray target = QFile::encodeName(fileName);
    const QByteArray temporary = target + ".tmp";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
