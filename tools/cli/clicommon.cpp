#include "clicommon.h"

#include "commandreport.h"

#include <cstdio>

void printOut(const QString &text)
{
    if (!CommandReport::current().isJson())
        printHelp(text);
}

void printHelp(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

void printErr(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

void failUsage(const QString &message, const QString &usage)
{
    throw CommandError {ExitUsage, message, usage};
}
