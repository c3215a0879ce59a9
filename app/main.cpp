// Program start: the toolkit, the application title, the main window (which creates the hidden
// progress dialog), an image named on the command line, and the message loop.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include "app/main_window.h"
#include "app/polish.h"
#include "app/qt_text.h"
#include "archive/temp_area.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: cartscope [--] [IMAGE]
Shows a Nintendo DS, iQue DS or DSi cartridge image (.nds, .ids, .dsi, .srl, or a .zip
holding one) in a window.

  IMAGE       an image or a .zip archive to open at start
  --help      show this text
  --version   show the version
  --          end of options (for a file name that begins with "-")

The usual Qt options (such as -platform and -style) are accepted as well.
)";

// "--help" and "--version" are answered before the toolkit starts, so they work without a
// display. Returns the exit status when one of them was given.
std::optional<int> answerInformationOptions(int argc, char* argv[])
{
    const char* text = nullptr;
    std::string version;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            text = kUsage;
            break;
        }
        if (std::strcmp(argv[i], "--version") == 0 && !text) {
            version = std::string("cartscope ") + CARTSCOPE_VERSION + "\n";
            text = version.c_str();
        }
    }
    if (!text)
        return std::nullopt;
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        std::fputs("cartscope: Stream write error.\n", stderr);
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}

// "cartscope IMAGE" opens IMAGE once the window is up. The raw argument bytes are the path,
// made absolute so the window shows (and later derives file names from) a full path. "--"
// before it lets a name that begins with "-" through.
std::optional<std::string> imageArgument(int argc, char* argv[])
{
    const int first = argc > 1 && std::strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (argc <= first)
        return std::nullopt;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(argv[first], ec);
    return ec ? std::string(argv[first]) : absolute.string();
}

// After the load: a picture of the window saved to `screenshot`, then the program quits.
void saveScreenshot(cartscope::app::TForm1& window, const QString& screenshot)
{
    // CARTSCOPE_SCREENSHOT_PAGE=files: the file list, sorted by size, instead of the first
    // page.
    if (qEnvironmentVariable("CARTSCOPE_SCREENSHOT_PAGE") == QLatin1String("files")) {
        if (auto* pages = window.findChild<QTabWidget*>(QStringLiteral("PageControl")))
            pages->setCurrentIndex(1);
        if (auto* list = window.findChild<QTreeWidget*>(QStringLiteral("FSListView"))) {
            const QHeaderView* header = list->header();
            const QPoint at(header->sectionViewportPosition(2) + 5, header->height() / 2);
            for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                QMouseEvent click(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton,
                                  Qt::LeftButton, Qt::NoModifier);
                QCoreApplication::sendEvent(header->viewport(), &click);
            }
        }
    }
    QTimer::singleShot(300, &window, [&window, screenshot] {
        const bool saved = window.grab().save(screenshot, "PNG");
        QCoreApplication::exit(saved ? EXIT_SUCCESS : EXIT_FAILURE);
    });
}

} // namespace

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = answerInformationOptions(argc, argv))
        return *status;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Cartscope"));
    QApplication::setApplicationVersion(QStringLiteral("1.7"));
    // The desktop entry's name: the window system matches the window to its entry and icon.
    QApplication::setDesktopFileName(QStringLiteral("io.github.cartscope.Cartscope"));
    QApplication::setWindowIcon(cartscope::app::applicationIcon());
    cartscope::app::keepNoToolkitSettings();

    cartscope::app::TForm1 window;
    // Centred, but never with the title bar above or left of the screen's available area (a
    // window as large as that area starts at its corner).
    if (const QScreen* screen = window.screen()) {
        const QRect available = screen->availableGeometry();
        const QPoint centred = available.center() - window.rect().center();
        window.move(std::max(centred.x(), available.left()),
                    std::max(centred.y(), available.top()));
    }
    window.show();

    const std::optional<std::string> image = imageArgument(argc, argv);
    // CARTSCOPE_SCREENSHOT=out.png: after the load, save a picture of the window and quit
    // (documentation screenshots, made under a virtual X server).
    const QString screenshot = qEnvironmentVariable("CARTSCOPE_SCREENSHOT");
    // Temporary copies left by a Cartscope that was killed go at every start; one that cannot be
    // removed is reported once the window is up.
    const std::vector<std::string> leftovers = cartscope::archive::removeLeftovers();
    QTimer::singleShot(0, &window, [&window, image, screenshot, leftovers] {
        for (const std::string& message : leftovers)
            window.dialogs().error(&window, cartscope::app::fromLocalPath(message + "."));
        if (image)
            window.openFile(*image);
        if (screenshot.isEmpty())
            return;
        saveScreenshot(window, screenshot);
    });
    return QApplication::exec();
}
