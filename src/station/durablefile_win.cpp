#include "durablefile.h"

#include <QDir>
#include <QRandomGenerator>

#include <windows.h>

namespace {

QString systemError()
{
    return qt_error_string(int(GetLastError()));
}

std::wstring nativeName(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName).toStdWString();
}

HANDLE handleOf(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

OVERLAPPED at(qint64 offset)
{
    OVERLAPPED position {};
    position.Offset = DWORD(quint64(offset) & 0xffffffffu);
    position.OffsetHigh = DWORD(quint64(offset) >> 32);
    return position;
}

bool writeAll(HANDLE file, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        if (!WriteFile(file, data.constData() + done, DWORD(data.size() - done), &written, nullptr)
            || written == 0)
            return false;
        done += written;
    }
    return true;
}

// Two stations must not share a log, but a reader may still read it: the
// lock covers one byte far beyond any real record, and Windows locks bar
// other programs from reading what they cover.
constexpr DWORD lockOffsetHigh = 0x40000000;

// Tries before giving up on a free temporary name: a clash is already rare.
constexpr int temporaryNameTries = 16;

bool statusOf(HANDLE file, DurableFile::Status *status)
{
    *status = DurableFile::Status();
    BY_HANDLE_FILE_INFORMATION information {};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        // A device (NUL, CON) or a pipe: no file information to read.
        status->kind = DurableFile::Status::Kind::Other;
        status->links = 1;
        return true;
    }
    if (!GetFileInformationByHandle(file, &information))
        return false;
    status->kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
        ? DurableFile::Status::Kind::Other
        : DurableFile::Status::Kind::Regular;
    status->links = qint64(information.nNumberOfLinks);
    status->identity = QByteArray::number(quint64(information.dwVolumeSerialNumber)) + ':'
        + QByteArray::number((quint64(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
    return true;
}

} // namespace

bool DurableFile::status(const QString &fileName, Status *status, QString *error)
{
    // No access asked: enough to read what the file is, also of a folder.
    const HANDLE file
        = CreateFileW(nativeName(fileName).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *status = Status();
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        *error = QStringLiteral("%1: %2").arg(fileName, systemError());
        return false;
    }
    const bool known = statusOf(file, status);
    if (!known)
        *error = QStringLiteral("%1: %2").arg(fileName, systemError());
    CloseHandle(file);
    return known;
}

bool DurableFile::replace(const QString &fileName, const QByteArray &data, QString *error)
{
    QString temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; file == INVALID_HANDLE_VALUE && tries < temporaryNameTries; ++tries) {
        // Another station or program writing beside this one never picks the same name.
        temporary
            = QStringLiteral("%1.%2.tmp").arg(fileName).arg(QRandomGenerator::system()->generate64(), 0, 16);
        file = CreateFileW(nativeName(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = QStringLiteral("%1: %2").arg(temporary, systemError());
        return false;
    }
    const bool written = writeAll(file, data) && FlushFileBuffers(file);
    const QString writeError = systemError();
    CloseHandle(file);
    // Write-through returns only once the rename is on disk, so no folder
    // needs flushing as on Unix.
    if (!written
        || !MoveFileExW(nativeName(temporary).c_str(), nativeName(fileName).c_str(),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = QStringLiteral("%1: %2").arg(fileName, written ? systemError() : writeError);
        DeleteFileW(nativeName(temporary).c_str());
        return false;
    }
    return true;
}

DurableLog::~DurableLog()
{
    close();
}

void DurableLog::close()
{
    if (m_handle != -1)
        CloseHandle(handleOf(m_handle));
    m_handle = -1;
}

bool DurableLog::isOpen() const
{
    return m_handle != -1;
}

DurableLog::OpenResult DurableLog::open(const QString &fileName, QString *error)
{
    close();
    const HANDLE file = CreateFileW(nativeName(fileName).c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
        nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = systemError();
        return OpenResult::Failed;
    }
    OVERLAPPED lockAt {};
    lockAt.OffsetHigh = lockOffsetHigh;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lockAt)) {
        const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
        *error = systemError();
        CloseHandle(file);
        return held ? OpenResult::HeldElsewhere : OpenResult::Failed;
    }
    m_handle = reinterpret_cast<qintptr>(file);
    return OpenResult::Opened;
}

qint64 DurableLog::size(QString *error) const
{
    LARGE_INTEGER size {};
    if (!GetFileSizeEx(handleOf(m_handle), &size)) {
        *error = systemError();
        return -1;
    }
    return size.QuadPart;
}

bool DurableLog::status(DurableFile::Status *status, QString *error) const
{
    if (!statusOf(handleOf(m_handle), status)) {
        *error = systemError();
        return false;
    }
    return true;
}

bool DurableLog::read(qint64 offset, char *data, qint64 length) const
{
    while (length > 0) {
        OVERLAPPED position = at(offset);
        DWORD n = 0;
        if (!ReadFile(handleOf(m_handle), data, DWORD(length), &n, &position) || n == 0)
            return false;
        data += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool DurableLog::cut(qint64 length, QString *error)
{
    LARGE_INTEGER position {};
    position.QuadPart = length;
    if (!SetFilePointerEx(handleOf(m_handle), position, nullptr, FILE_BEGIN)
        || !SetEndOfFile(handleOf(m_handle)) || !FlushFileBuffers(handleOf(m_handle))) {
        *error = systemError();
        return false;
    }
    return true;
}

bool DurableLog::append(const QByteArray &data, QString *error)
{
    // Both offsets all ones: the write goes to the end of the file, whatever
    // the file pointer says.
    OVERLAPPED atEnd {};
    atEnd.Offset = 0xffffffffu;
    atEnd.OffsetHigh = 0xffffffffu;
    DWORD written = 0;
    if (!WriteFile(handleOf(m_handle), data.constData(), DWORD(data.size()), &written, &atEnd)) {
        *error = systemError();
        return false;
    }
    if (written != DWORD(data.size())) {
        *error = QStringLiteral("only %1 of %2 bytes written").arg(written).arg(data.size());
        return false;
    }
    if (!FlushFileBuffers(handleOf(m_handle))) {
        *error = systemError();
        return false;
    }
    return true;
}
