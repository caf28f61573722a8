// Entry point: answers --help and --version, prepares the application,
// builds the USB side on its worker thread, shows the main window connected
// to it, runs the event loop, and tears down in a fixed order. With --station
// it shows the production station's window instead.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

#include "app/deviceside.h"
#include "app/startup.h"
#include "app/stationside.h"
#include "protocol/deviceplatform.h"
#include "qtcompat.h"
#include "ui/flashdialog.h"
#include "ui/stationwindow.h"

#ifdef Q_OS_UNIX
#include "app/terminationsignals.h"
#endif

int main(int argc, char *argv[])
{
    // Answered before the application object exists, which would need a
    // display; only ASCII options are looked for, so no encoding is needed yet.
    {
        QStringList raw;
        for (int i = 0; i < argc; ++i)
            raw << QString::fromLatin1(argv[i]);
        const StartupRequest early = readStartupArguments(raw).request;
        if (early == StartupRequest::Help || early == StartupRequest::Version) {
            const QString text = early == StartupRequest::Help ? startupHelpText() : startupVersionText();
            std::fputs(text.toLatin1().constData(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }

    QtCompat::enableHighDpiScaling();
    auto application = std::make_unique<QApplication>(argc, argv);
    const StartupArguments startup = readStartupArguments(QCoreApplication::arguments());
    if (startup.request == StartupRequest::Refused) {
        std::fprintf(
            stderr, "talvex-updater: %s\nTry \"talvex-updater --help\".\n", qPrintable(startup.refusal));
        return 2;
    }
    applyApplicationFont();
    installStyleSheet(*application);
    setApplicationIdentity();

#ifdef Q_OS_UNIX
    auto terminationSignals = std::make_unique<TerminationSignals>();
#endif

    // The station sets up its devices when Start is pressed, so that simulated
    // arrivals are timed from then.
    if (startup.request == StartupRequest::StationWindow) {
        auto window = std::make_unique<StationWindow>();
        auto station = std::make_unique<StationSide>(window.get());
#ifdef Q_OS_UNIX
        // As closing the window does: units in progress finish first, then the loop ends.
        QObject::connect(terminationSignals.get(), &TerminationSignals::terminationRequested, window.get(),
            &QWidget::close);
#endif
        window->show();
        const int exitCode = application->exec();
        station.reset();
        window.reset();
#ifdef Q_OS_UNIX
        terminationSignals.reset();
#endif
        application.reset();
        return exitCode;
    }

    // Ends the event loop as closing the window does, so shutdown below runs
    // in full. Before that loop runs it ends the box start-up may show (every
    // loop ends), and the loop is then not started at all.
    bool terminationRequested = false;
#ifdef Q_OS_UNIX
    QObject::connect(
        terminationSignals.get(), &TerminationSignals::terminationRequested, [&terminationRequested] {
            terminationRequested = true;
            QCoreApplication::exit(0);
        });
#endif

    // TALVEX_SIMULATOR puts simulated devices where the real ones would be;
    // a value the tool cannot follow must not start it on a guess.
    QString simulatorError;
    if (!startDevicePlatform(&simulatorError)) {
        std::fprintf(stderr, "talvex-updater: %s\n", qPrintable(simulatorError));
        QMessageBox::critical(nullptr, QStringLiteral("TALVEX Updater"), simulatorError);
        return 2;
    }

    auto deviceSide = std::make_unique<DeviceSide>();

    auto window = std::make_unique<FlashDialog>();
    // The form makes the window application-modal; the main window must not be.
    window->setModal(false);

    deviceSide->connectWindow(window.get());

    window->show();
    // A firmware file named on the command line, as the file manager passes
    // one it opens with the program, is loaded as if chosen in the dialog.
    if (!startup.firmwareFile.isEmpty())
        window->loadFirmwareFile(startup.firmwareFile);
    const int exitCode = terminationRequested ? 0 : application->exec();

    deviceSide->quit();
    window.reset();
    deviceSide.reset();

#ifdef Q_OS_UNIX
    terminationSignals.reset();
#endif
    application.reset();
    return exitCode;
}
