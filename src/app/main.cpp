// Entry point: prepares the application, builds the USB side on its worker
// thread, shows the main window connected to it, runs the event loop, and
// tears down in a fixed order. With --station it shows the production
// station's window instead.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

#include "app/deviceplatform.h"
#include "app/deviceside.h"
#include "app/startup.h"
#include "app/stationside.h"
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

#ifdef Q_OS_UNIX
    auto terminationSignals = std::make_unique<TerminationSignals>();
#endif

    // The station sets up its devices when Start is pressed, so that simulated
    // arrivals are timed from then.
    if (QCoreApplication::arguments().contains(QStringLiteral("--station"))) {
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
    QObject::connect(terminationSignals.get(), &TerminationSignals::terminationRequested,
        [] { QCoreApplication::exit(0); });
#endif

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
