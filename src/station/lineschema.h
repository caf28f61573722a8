#pragma once

// The line database's tables, as this program makes them: each version's
// statements, run in one transaction on first use. Any thread.

#include <QStringList>

namespace LineSchema {

// Makes the newest version's tables, functions and triggers, and notes its number.
QStringList creation();

} // namespace LineSchema
