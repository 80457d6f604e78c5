// The chat log viewer on a big log, in the running window.
//  - Opening a 200 MB log: the viewer reads the last 8 MiB of whole lines and shows them. The
//    baseline, in the same run, puts the same lines as one plain text into a bare QPlainTextEdit.
//    Target: at most 2x.
//  - One search keystroke on it: the first match of a rare word, highlighted, and the probes of
//    both buttons. The baseline: a bare QPlainTextEdit::find forward and one back, from where the
//    probes start, on the same text. Target: at most 2x.
// Best of five rounds each. Prints the figures; nothing is asserted.

#include "WindowBench.h"

#include "shell/MainWindow.h"
#include "shell/ProcessControl.h"
#include "ui/chat/ChatLogForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr qint64 kLogBytes = 200LL * 1024 * 1024;
constexpr int kRounds = 5;
constexpr double kTarget = 2.0;
// One line in this many holds the word searched for.
constexpr int kRareEvery = 40000;
const QString kRare = QStringLiteral("teapot");

using WindowBench::Report;
using WindowBench::Settle;

// Lines as the chat tabs log them, of varied length.
void WriteLog(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray chunk;
    for (qint64 i = 0; file.size() + chunk.size() < kLogBytes; ++i) {
        chunk += "[Jan 12 9:30:37 am][user" + QByteArray::number(i % 97) + "] line " +
                 QByteArray::number(i) + ":";
        for (int w = 0; w < 3 + i % 11; ++w)
            chunk += " word" + QByteArray::number((i * 31 + w) % 89);
        if (i % kRareEvery == kRareEvery / 3)
            chunk += " " + kRare.toUtf8();
        chunk += '\n';
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
}

// The log's last 8 MiB from its first whole line, as the baseline's plain text.
QString LastLines(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    file.seek(file.size() - ChatLogForm::kMaxShownBytes);
    QByteArray bytes = file.read(ChatLogForm::kMaxShownBytes);
    bytes.remove(0, bytes.indexOf('\n') + 1);
    bytes.chop(1);
    return QString::fromUtf8(bytes);
}

struct Figures
{
    double open = 0;
    double search = 0;
};

Figures Viewer(const QString& path)
{
    Figures ms;
    QElapsedTimer t;
    t.start();
    auto viewer = std::make_unique<ChatLogForm>(path);
    viewer->resize(800, 600);
    viewer->show();
    Settle();
    ms.open = t.nsecsElapsed() / 1e6;
    auto* search = viewer->findChild<QLineEdit*>("searchEdit");
    search->setText(kRare.left(kRare.size() - 1));
    Settle();
    t.restart();
    search->setText(kRare);
    Settle();
    ms.search = t.nsecsElapsed() / 1e6;
    return ms;
}

Figures Baseline(const QString& lines)
{
    Figures ms;
    QElapsedTimer t;
    t.start();
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.setPlainText(lines);
    edit.resize(800, 600);
    edit.show();
    Settle();
    ms.open = t.nsecsElapsed() / 1e6;
    // Where the viewer's probes start: one past the first match's start, and the start.
    const int first = edit.document()->find(kRare, 0).selectionStart();
    QTextCursor from(edit.document());
    from.setPosition(first + 1);
    edit.setTextCursor(from);
    Settle();
    t.restart();
    edit.find(kRare);
    from.setPosition(first);
    edit.setTextCursor(from);
    edit.find(kRare, QTextDocument::FindBackward);
    Settle();
    ms.search = t.nsecsElapsed() / 1e6;
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    QApplication app(argc, argv);
    WindowBench::SilentServer silent;
    home.WriteStore();
    MainWindow window;
    window.show();
    window.Init();
    Settle();

    const QString path = home.FilePath("big.log");
    WriteLog(path);
    const QString lines = LastLines(path);
    std::printf("log %lld bytes, %lld lines shown\n", QFile(path).size(),
                qint64(lines.count(QLatin1Char('\n')) + 1));
    Figures viewer = Viewer(path), baseline = Baseline(lines);
    for (int round = 1; round < kRounds; ++round) {
        const Figures v = Viewer(path), b = Baseline(lines);
        viewer = {std::min(viewer.open, v.open), std::min(viewer.search, v.search)};
        baseline = {std::min(baseline.open, b.open), std::min(baseline.search, b.search)};
    }
    Report("opening a 200 MB log", baseline.open, viewer.open, kTarget);
    Report("one search keystroke", baseline.search, viewer.search, kTarget);
    return 0;
}
