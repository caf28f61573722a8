#pragma once

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the main thread, so that a
// desktop session ending, Ctrl-C or a closed terminal shut the program down
// in its usual order instead of killing it mid-way. On Windows, Ctrl-C and
// Ctrl-Break in the console come as SIGINT. Main thread.

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers; one instance at a time. The destructor puts back
    // whatever handled those signals before.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    // Emitted on the main thread, once per signal received.
    void terminationRequested(int signalNumber);

private:
    void readPendingSignals();

    // Unix: the main thread's end of the handlers' socket.
    QSocketNotifier *m_notifier = nullptr;
};
