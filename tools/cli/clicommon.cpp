#include "clicommon.h"

#include "commandreport.h"
#include "qtcompat.h"

#include <cstdio>

void printOut(const QString &text)
{
    if (!CommandReport::current().isJson())
        printHelp(text);
}

void printHelp(const QString &text)
{
    std::fputs(QtCompat::toLocal8Bit(text).constData(), stdout);
}

void printErr(const QString &text)
{
    std::fputs(QtCompat::toLocal8Bit(text).constData(), stderr);
}

void failUsage(const QString &message, const QString &usage)
{
    throw CommandError {ExitUsage, message, usage};
}
