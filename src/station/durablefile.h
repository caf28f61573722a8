#pragma once

// Writes that survive a crash or a power cut once they return: a file
// replaced whole, and lines appended to a log. Any thread.

#include <QByteArray>
#include <QString>

namespace DurableFile {

// Replaces fileName by data: a temporary file beside it, written and
// synced, renamed over it, then the directory synced. On failure the old
// file is untouched; error says why.
bool replace(const QString &fileName, const QByteArray &data, QString *error);

} // namespace DurableFile
