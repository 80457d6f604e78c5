#include "engine/Engine.h"
#include "shell/MainWindow.h"
#include "shell/ModalDialogs.h"
#include "shell/ProcessControl.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    TuneAllocator();
    const QString noDisplay = MissingDisplay(argc, argv);
    if (!noDisplay.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(noDisplay));
        return 1;
    }
    QApplication application(argc, argv);
    // Before anything can block: a signal also ends the box below.
    TerminationSignals termination;

    // Taken before anything is loaded, saved or listened on: a second client would overwrite the
    // first one's store file and fight it for the listening ports.
    StoreLock lock(Engine::StoreFilePath());
    const bool locked = lock.TryLock();
    if (!lock.Explanation().isEmpty())
        std::fprintf(stderr, "Quorvale: %s\n", qPrintable(lock.Explanation()));
    if (!locked) {
        ModalDialogs::MessageBox box;
        box.icon = QMessageBox::Warning;
        box.title = QStringLiteral("Quorvale is already running");
        box.text = lock.Explanation();
        box.buttons = QMessageBox::Ok;
        ModalDialogs::Current().Show(box);
        return 1;
    }

    int status = 0;
    {
        MainWindow window;
        window.show();
        window.Init();
        // A signal during start-up (in the first-run dialog, say) ends the program here.
        if (!termination.Received())
            status = application.exec();
        // After a signal nobody answers a box; the status tells whoever sent it that the
        // changes since the last save are lost.
        if (termination.Received()) {
            if (!window.EndSession(MainWindow::Ending::Unattended))
                status = 1;
        }
    }
    return status;
}
