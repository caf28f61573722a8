// Entry point: prepares the application, shows the main window, runs the event
// loop, and tears down in a fixed order.

#include <QApplication>

#include <memory>

#include "app/startup.h"
#include "qtcompat.h"
#include "ui/flashdialog.h"

int main(int argc, char *argv[])
{
    QtCompat::enableHighDpiScaling();
    auto application = std::make_unique<QApplication>(argc, argv);
    applyApplicationFont();
    installStyleSheet(*application);
    setApplicationIdentity();

    // The USB side (handler factory, driver, worker thread, proxy) is created here.

    auto window = std::make_unique<FlashDialog>();
    // The form makes the window application-modal; the main window must not be.
    window->setModal(false);

    // The window is connected to the device proxy here.

    window->show();
    const int exitCode = application->exec();

    // The worker thread is asked to quit here.
    window.reset();
    // The proxy, the worker thread, the driver and the factory are released here.

    application.reset();
    return exitCode;
}
