// Entry point: prepares the application, builds the USB side on its worker
// thread, shows the main window connected to it, runs the event loop, and
// tears down in a fixed order.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

#include "app/deviceplatform.h"
#include "app/deviceside.h"
#include "app/startup.h"
#include "qtcompat.h"
#include "ui/flashdialog.h"
#include "ui/stationwindow.h"

#ifdef Q_OS_UNIX
#include "app/terminationsignals.h"
#endif

int main(int argc, char *argv[])
{
    QtCompat::enableHighDpiScaling();
    auto application = std::make_unique<QApplication>(argc, argv);
    applyApplicationFont();
    installStyleSheet(*application);
    setApplicationIdentity();

    // TALVEX_SIMULATOR puts simulated devices where the real ones would be;
    // a value the tool cannot follow must not start it on a guess.
    QString simulatorError;
    if (!setUpDevicePlatform(&simulatorError)) {
        std::fprintf(stderr, "talvex-updater: %s\n", qPrintable(simulatorError));
        QMessageBox::critical(nullptr, QStringLiteral("TALVEX Updater"), simulatorError);
        return 2;
    }

#ifdef Q_OS_UNIX
    // Ends the event loop as closing the window does, so shutdown below runs in full.
    auto terminationSignals = std::make_unique<TerminationSignals>();
    QObject::connect(terminationSignals.get(), &TerminationSignals::terminationRequested,
        [] { QCoreApplication::exit(0); });
#endif

    // The station window runs the station beside it and needs no USB side of its own.
    if (application->arguments().contains(QStringLiteral("--station"))) {
        auto station = std::make_unique<StationWindow>();
#ifdef Q_OS_UNIX
        QObject::disconnect(terminationSignals.get(), nullptr, nullptr, nullptr);
        QObject::connect(terminationSignals.get(), &TerminationSignals::terminationRequested, station.get(),
            [&station] { station->close(); });
#endif
        station->show();
        const int exitCode = application->exec();
        station.reset();
#ifdef Q_OS_UNIX
        terminationSignals.reset();
#endif
        application.reset();
        return exitCode;
    }

    auto deviceSide = std::make_unique<DeviceSide>();

    auto window = std::make_unique<FlashDialog>();
    // The form makes the window application-modal; the main window must not be.
    window->setModal(false);

    deviceSide->connectWindow(window.get());

    window->show();
    // A firmware file named on the command line, as the file manager passes
    // one it opens with the program, is loaded as if chosen in the dialog.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1)
        window->loadFirmwareFile(arguments.at(1));
    const int exitCode = application->exec();

    deviceSide->quit();
    window.reset();
    deviceSide.reset();

#ifdef Q_OS_UNIX
    terminationSignals.reset();
#endif
    application.reset();
    return exitCode;
}
