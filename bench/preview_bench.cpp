// preview_bench IMAGE [PAIRS]: how long selecting a file takes to show its preview, in the real
// window (offscreen), with the preview window open and following the selection.
//
// The image is loaded as the window loads it (not timed). Files of at most 1 MiB are picked
// evenly through the list, 2 * PAIRS of them, each previewed once untimed (warm cache). Then, per
// pair: A = from selecting the file's row to its preview shown (made on the preview's thread,
// delivered to the window); B = the reference, a plain pread of the same bytes into a buffer
// (what any preview must do at least). A and B are interleaved A B A B; printed are the medians,
// the median of the per-pair ratios with its range, the goal (A under 50 ms) and the 1-minute
// load average before and after. Timings are in-process: a selection takes about a millisecond,
// far less than a process start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTreeWidget>

#include "app/main_window.h"
#include "app/preview_window.h"
#include "bench/bench_timing.h"
#include "core/io/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

using cartscope::bench::load1;
using cartscope::bench::median;

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: preview_bench IMAGE [PAIRS]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::string imagePath = argv[1];
    const int pairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    cartscope::app::TForm1 window;
    window.show();
    window.openFile(imagePath);
    QElapsedTimer wait;
    wait.start();
    while (window.readPassRunning() && wait.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("FSListView"));
    const auto& rows = window.rows();
    std::vector<int> picked;
    std::vector<int> eligible;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!rows[i].system && rows[i].size > 0 && rows[i].size <= (1 << 20))
            eligible.push_back(static_cast<int>(i));
    const auto wanted = static_cast<std::size_t>(2 * pairs);
    if (eligible.size() < wanted) {
        std::fprintf(stderr, "preview_bench: the image has fewer than %zu files of at most 1 MiB\n",
                     wanted);
        return 1;
    }
    for (std::size_t k = 0; k < wanted; ++k)
        picked.push_back(eligible[k * eligible.size() / wanted]);

    // The preview opens on the first file by Space, as a user opens it; it then follows.
    list->setCurrentItem(list->topLevelItem(picked.front()));
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QCoreApplication::sendEvent(list, &space);
    cartscope::app::PreviewWindow* preview = window.previewWindow();
    if (!preview) {
        std::fprintf(stderr, "preview_bench: the preview did not open\n");
        return 1;
    }
    int shown = 0;
    QObject::connect(preview, &cartscope::app::PreviewWindow::previewShown, [&shown] { ++shown; });
    const auto select = [&](int row) {
        const int before = shown;
        const auto t0 = Clock::now();
        list->setCurrentItem(list->topLevelItem(row));
        while (shown == before)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            5);
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
    cartscope::core::FileStream image(imagePath);
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    const auto readRange = [&](int row) {
        const auto& r = rows[static_cast<std::size_t>(row)];
        const auto t0 = Clock::now();
        const ssize_t got =
            ::pread(image.fd(), buffer.data(), static_cast<std::size_t>(r.size), r.offset);
        const double t = std::chrono::duration<double>(Clock::now() - t0).count();
        return got < 0 ? -1.0 : t;
    };

    const std::string before = load1();
    for (int row : picked) { // warm-up, untimed
        select(row);
        readRange(row);
    }
    std::vector<double> a, b, ratio;
    for (int i = 0; i < pairs; ++i) {
        // Two different files a pair, so each selection is a change.
        for (int k = 0; k < 2; ++k) {
            const int row = picked[static_cast<std::size_t>(2 * i + k)];
            const double ta = select(row);
            const double tb = readRange(row);
            a.push_back(ta);
            b.push_back(tb);
            ratio.push_back(ta / std::max(tb, 1e-9));
        }
    }
    std::printf("| %-44s | %-34s | %8.4fs | %8.4fs | %7.1fx | %.1f-%.1f | %-8s | %s -> %s |\n",
                "select a file <= 1 MiB, preview shown", "pread of the same bytes", median(a),
                median(b), median(ratio), *std::min_element(ratio.begin(), ratio.end()),
                *std::max_element(ratio.begin(), ratio.end()), "A < 50 ms", before.c_str(),
                load1().c_str());
    return 0;
}
