#include "app/terminationsignals.h"

#include <QMetaObject>

#include <csignal>
#include <mutex>

#include <windows.h>

namespace {

// The console calls its handler on a thread of its own; this guards the
// instance it hands the event to against the destructor.
std::mutex instanceMutex;
TerminationSignals *instance = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Closing the console, logging off or shutting down end the process as
    // soon as the handler returns, so only Ctrl-C and Ctrl-Break are taken.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    const std::lock_guard<std::mutex> lock(instanceMutex);
    if (!instance)
        return FALSE;
    TerminationSignals *target = instance;
    QMetaObject::invokeMethod(
        target, [target] { emit target->terminationRequested(SIGINT); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    const std::lock_guard<std::mutex> lock(instanceMutex);
    Q_ASSERT(!instance);
    instance = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

TerminationSignals::~TerminationSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    const std::lock_guard<std::mutex> lock(instanceMutex);
    instance = nullptr;
}
