#include "app/terminationsignals.h"

#include <QSocketNotifier>

#include <signal.h>

#include <cerrno>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A signal handler may do almost nothing; it writes the signal's number into
// this socket pair and the main thread's event loop reads it from the other end.
// Written only by the constructor and destructor, read by the handler.
int signalSocket[2] = {-1, -1};

// What handled each signal before, in the order the constructor installs them.
struct sigaction previousActions[std::size(handledSignals)];

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalSocket[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(signalSocket[0] == -1);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSocket) != 0) {
        // Without the socket the signals keep their old effect; the program still runs.
        signalSocket[0] = signalSocket[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPendingSignals);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(handledSignals); ++i)
        ::sigaction(handledSignals[i], &action, &previousActions[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (size_t i = 0; i < std::size(handledSignals); ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    delete m_notifier;
    ::close(signalSocket[0]);
    ::close(signalSocket[1]);
    signalSocket[0] = signalSocket[1] = -1;
}

void TerminationSignals::readPendingSignals()
{
    char byte = 0;
    while (::read(signalSocket[1], &byte, 1) == 1)
        emit terminationRequested(int(byte));
}
