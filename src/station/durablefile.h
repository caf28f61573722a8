#pragma once

// Writes that survive a crash or a power cut once they return: a file
// replaced whole, and lines appended to a log. The operating system's calls
// live in durablefile_unix.cpp and durablefile_win.cpp; CMake picks one.
// Any thread; one DurableLog per thread at a time.

#include <QByteArray>
#include <QString>

namespace DurableFile {

// Replaces fileName by data: a temporary file beside it, written and
// flushed to disk, renamed over it, then the directory flushed where the
// system allows it. On failure the old file is untouched; error says why.
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

    // The file's size, or -1 with error.
    qint64 size(QString *error) const;
    // Reads exactly length bytes at offset; false when it could not.
    bool read(qint64 offset, char *data, qint64 length) const;
    // Cuts the file to length bytes.
    bool cut(qint64 length, QString *error);
    // Appends data in one write, so that nothing can come between its parts.
    bool append(const QByteArray &data, QString *error);

private:
    void close();

    // The descriptor (Unix) or HANDLE (Windows); -1 when closed.
    qintptr m_handle = -1;
};
