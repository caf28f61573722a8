// Entry point: prepares the application, builds the USB side on its worker
// thread, shows the main window connected to it, runs the event loop, and
// tears down in a fixed order.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

#include "app/deviceside.h"
#include "app/startup.h"
#include "protocol/sim/simulatorsetup.h"
#include "ui/flashdialog.h"

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    auto application = std::make_unique<QApplication>(argc, argv);
    applyApplicationFont();
    installStyleSheet(*application);
    setApplicationIdentity();

    // TALVEX_SIMULATOR puts simulated devices where the real ones would be;
    // a value the tool cannot follow must not start it on a guess.
    QString simulatorError;
    if (!setUpSimulatorFromEnvironment(&simulatorError)) {
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
    const int exitCode = application->exec();

    deviceSide->quit();
    window.reset();
    deviceSide.reset();

    application.reset();
    return exitCode;
}
