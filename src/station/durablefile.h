#pragma once

// Writes that survive a crash or a power cut once they return: a file
// replaced whole, and lines appended to a log. The operating system's calls
// live in durablefile_unix.cpp and durablefile_win.cpp; CMake picks one.
// Any thread; one DurableLog per thread at a time.

#include <QByteArray>
#include <QString>

namespace DurableFile {

// What stands under a name, symbolic links followed.
struct Status
{
    enum class Kind { Missing, Regular, Other };
    Kind kind = Kind::Missing;
    // How many names (hard links) the file has.
    qint64 links = 0;
    // Equal for any two names of one file on this machine; empty when missing.
    QByteArray identity;
};

// Looks at fileName; false with error when it cannot (a missing file can).
bool status(const QString &fileName, Status *status, QString *error);

// Replaces fileName by data: a temporary file beside it under a name no
// other process uses (created exclusively), written and flushed to disk,
// renamed over it, then the directory flushed where the system allows it.
// On failure the old file is untouched and the temporary gone; error says why.
bool replace(const QString &fileName, const QByteArray &data, QString *error);

} // namespace DurableFile

// A file that only grows at its end, held exclusively by one program while
// open. Whatever append() or cut() wrote is on disk when they return.
class DurableLog
{
public:
    enum class OpenResult { Opened, Failed, HeldElsewhere };

    DurableLog() = default;
    ~DurableLog();
    DurableLog(const DurableLog &) = delete;
    DurableLog &operator=(const DurableLog &) = delete;

    // Opens fileName, creating it, and locks it without waiting:
    // HeldElsewhere when another program holds the lock.
    OpenResult open(const QString &fileName, QString *error);
    bool isOpen() const;
    // Closes the file, and so gives up its lock.
    void close();

    // The file's size, or -1 with error.
    qint64 size(QString *error) const;
    // What the open file is, as DurableFile::status tells it of a name.
    bool status(DurableFile::Status *status, QString *error) const;
    // Reads exactly length bytes at offset; false when it could not.
    bool read(qint64 offset, char *data, qint64 length) const;
    // Cuts the file to length bytes, and flushes that to disk.
    bool cut(qint64 length, QString *error);
    // Appends data in one write, so that nothing can come between its parts.
    // A failed or short write may leave part of data behind: the caller
    // cuts it off.
    bool append(const QByteArray &data, QString *error);

private:
    // The descriptor (Unix) or HANDLE (Windows); -1 when closed.
    qintptr m_handle = -1;
};
