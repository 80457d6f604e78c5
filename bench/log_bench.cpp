// Throughput of the Diagnostics page: lines through Log into a tab already at its cap, against
// QPlainTextEdit::appendPlainText of the same lines, formatted beforehand, into a bare view with
// the same block limit. Both run with their window shown, then hidden. Prints lines per second
// and the ratio to the target (at least half the baseline); nothing is asserted.

#include "shell/DiagnosticsForm.h"
#include "shell/ProcessControl.h"
#include "store/Clock.h"
#include "store/Log.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <cstdio>

namespace {

constexpr int kLines = 200000;
// Shown windows get their paint events this often, as an event loop would give them.
constexpr int kLinesPerPaint = 1000;
constexpr double kTargetRatio = 0.5;

// Messages the size and shape of real ones: a user, a peer's path, a number.
QString Message(int i)
{
    return QStringLiteral("Queued upload %1 for user%2: \\Music\\Album %3\\%1 - Track.mp3")
        .arg(i)
        .arg(i % 977)
        .arg(i % 31);
}

// Lines per second for one pass of kLines calls of send(i).
template <class Send> double LinesPerSecond(bool shown, Send send)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kLines; ++i) {
        send(i);
        if (shown && i % kLinesPerPaint == 0)
            QApplication::processEvents();
    }
    if (shown)
        QApplication::processEvents();
    return kLines * 1e9 / double(timer.nsecsElapsed());
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    // Runs without a desktop unless one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const int cap = DiagnosticsForm::kMaxLogLinesPerCategory;
    DiagnosticsForm page;
    page.resize(900, 600);
    for (int i = 0; i < cap; ++i)
        Log(LogCategories::kPeerMessenger, 1, Message(i));
    auto* tabs = page.findChild<QTabWidget*>("logTabWidget");
    auto* pageView = qobject_cast<QPlainTextEdit*>(tabs->widget(0));

    QStringList lines;
    lines.reserve(kLines);
    const QDateTime now = Clock::Now();
    for (int i = 0; i < kLines; ++i)
        lines << FormatLogLine(now, 1, Message(i));

    QPlainTextEdit baseline;
    baseline.setReadOnly(true);
    baseline.setMaximumBlockCount(cap);
    for (int i = 0; i < cap; ++i)
        baseline.appendPlainText(lines.at(i));

    std::printf("%d lines into a tab already at its cap of %d lines\n", kLines, cap);
    for (bool shown : {true, false}) {
        page.setVisible(shown);
        baseline.setVisible(shown);
        if (shown) {
            baseline.resize(pageView->size());
            QApplication::processEvents();
        }
        const double base =
            LinesPerSecond(shown, [&](int i) { baseline.appendPlainText(lines.at(i)); });
        const double ours = LinesPerSecond(
            shown, [&](int i) { Log(LogCategories::kPeerMessenger, 1, Message(i)); });
        const double ratio = ours / base;
        std::printf("page %-6s: Log %9.0f lines/s; baseline appendPlainText %9.0f lines/s; "
                    "ratio %.2f, %.2f of the target %.2f (%s)\n",
                    shown ? "shown" : "hidden", ours, base, ratio, ratio / kTargetRatio,
                    kTargetRatio, ratio >= kTargetRatio ? "met" : "MISSED");
        if (pageView->document()->blockCount() != cap)
            std::printf("  the page's tab holds %d lines, not %d\n",
                        pageView->document()->blockCount(), cap);
    }
    return 0;
}
