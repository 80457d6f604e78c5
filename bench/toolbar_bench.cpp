// The context tool bar with the registry of a busy session: six sets like the shell's, twelve
// more of eight actions, 2,000 registered widgets with a key each. The focus alternates between
// widgets of two eight-action sets; each switch rebuilds the bar. The baseline, in the same run
// and the same shown window, clears a bare QToolBar and adds the same eight actions, the blank
// action, the spacer and the button. A move of the focus within one registered widget is timed
// against a switch. Prints the figures and the ratios to their targets; nothing is asserted.

#include "shell/ActionSetToolBar.h"
#include "shell/ProcessControl.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

namespace {

constexpr int kWidgets = 2000;
constexpr int kSwitches = 2000;
constexpr int kRounds = 5;
constexpr double kSwitchTarget = 2.0; // at most this many baseline switches
constexpr double kMoveTarget = 0.05;  // at most this share of a switch

struct ShellSet
{
    const char* name;
    int actions;
};
const ShellSet kShellSets[] = {{"room_list", 4},     {"room", 4},     {"shared_folders", 4},
                               {"login_options", 2}, {"chat_log", 2}, {"user_chat", 1}};

// Runs the posted work a returning event loop would: layouts and the deferred deletions.
void Settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Microseconds per call of step(i), the best of the rounds.
double MicrosecondsPerStep(const std::function<void(int)>& step)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kSwitches; ++i)
            step(i);
        best = std::min(best, double(timer.nsecsElapsed()) / 1000.0 / kSwitches);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DataSaver saver;
    Settings::CreateData(saver);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* bar = new ActionSetToolBar(&window);
    auto* bare = new QToolBar(&window);
    auto* forms = new QWidget(&window);
    layout->addWidget(bar);
    layout->addWidget(bare);
    layout->addWidget(forms);

    std::vector<std::string> sets;
    for (const ShellSet& set : kShellSets) {
        for (int a = 0; a < set.actions; ++a) {
            bar->AddSetAction(set.name, std::string(set.name) + "_" + std::to_string(a),
                              "Action " + std::to_string(a), ":/icons/room_icon", false);
        }
        sets.push_back(set.name);
    }
    for (int s = 0; s < 12; ++s) {
        const std::string name = "form_set_" + std::to_string(s);
        for (int a = 0; a < 8; ++a) {
            bar->AddSetAction(name, name + "_" + std::to_string(a),
                              "Form action " + std::to_string(a), ":/icons/browse_icon", a % 2);
        }
        sets.push_back(name);
    }

    // Every widget registered with a key; the focus goes to line edits inside two of them.
    std::vector<QWidget*> registered;
    for (int i = 0; i < kWidgets; ++i) {
        auto* widget = new QWidget(forms);
        bar->RegisterWidget(widget, QString::fromStdString(sets[size_t(i) % sets.size()]));
        bar->AddWidgetKey(widget, "user", QString("user%1").arg(i));
        registered.push_back(widget);
    }
    // Widgets 6 and 7 are in the first two eight-action sets.
    QLineEdit* inFirst[2] = {new QLineEdit(registered[6]), new QLineEdit(registered[6])};
    QLineEdit* inSecond = new QLineEdit(registered[7]);
    window.resize(1000, 400);
    window.show();
    Settle();

    const double ours = MicrosecondsPerStep([&](int i) {
        bar->OnApplicationFocusChanged(nullptr, i % 2 ? inSecond : inFirst[0]);
        Settle();
    });

    const double baseline = MicrosecondsPerStep([&](int i) {
        for (QAction* action : bare->actions()) {
            bare->removeAction(action);
            action->deleteLater();
        }
        const QString text = i % 2 ? QStringLiteral("Form action %1") : QStringLiteral("Other %1");
        for (int a = 0; a < 8; ++a)
            bare->addAction(QIcon(QStringLiteral(":/icons/browse_icon")), text.arg(a));
        bare->addAction(QString());
        auto* spacer = new QWidget(bare);
        spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        bare->addWidget(spacer);
        auto* button = new QPushButton(QStringLiteral("Support Quorvale!"), bare);
        button->setFocusPolicy(Qt::NoFocus);
        bare->addWidget(button);
        Settle();
    });

    bar->OnApplicationFocusChanged(nullptr, inFirst[0]);
    Settle();
    const double move = MicrosecondsPerStep([&](int i) {
        bar->OnApplicationFocusChanged(nullptr, inFirst[i % 2]);
        Settle();
    });

    std::printf("%d registered widgets in %zu sets; %d focus changes per round, best of %d\n",
                kWidgets, sets.size(), kSwitches, kRounds);
    const double switchRatio = ours / baseline;
    std::printf("switch between two sets: %.1f us; baseline bare QToolBar rebuild %.1f us; "
                "ratio %.2f, target at most %.2f (%s)\n",
                ours, baseline, switchRatio, kSwitchTarget,
                switchRatio <= kSwitchTarget ? "met" : "MISSED");
    const double moveRatio = move / ours;
    std::printf("move within one widget: %.2f us; ratio to a switch %.4f, target at most %.2f "
                "(%s)\n",
                move, moveRatio, kMoveTarget, moveRatio <= kMoveTarget ? "met" : "MISSED");
    return 0;
}
