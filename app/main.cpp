// Program start: the toolkit, the application title, the main window (which creates the hidden
// progress dialog), an image named on the command line, and the message loop.

#include <cstdlib>

#include <QApplication>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include "app/main_window.h"
#include "app/qt_text.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Cartscope"));
    QApplication::setApplicationVersion(QStringLiteral("1.7"));
    QApplication::setDesktopFileName(QStringLiteral("cartscope"));

    cartscope::app::TForm1 window;
    window.show();

    // "cartscope IMAGE" opens IMAGE once the window is up. The raw argument bytes are the path.
    const char* image = argc > 1 ? argv[1] : nullptr;
    // CARTSCOPE_SCREENSHOT=out.png: after the load, save a picture of the window and quit
    // (documentation screenshots, made under a virtual X server).
    const QString screenshot = qEnvironmentVariable("CARTSCOPE_SCREENSHOT");
    QTimer::singleShot(0, &window, [&window, image, screenshot] {
        if (image)
            window.openFile(image);
        if (screenshot.isEmpty())
            return;
        QTimer::singleShot(300, &window, [&window, screenshot] {
            const bool saved = window.grab().save(screenshot, "PNG");
            QCoreApplication::exit(saved ? EXIT_SUCCESS : EXIT_FAILURE);
        });
    });
    return QApplication::exec();
}
