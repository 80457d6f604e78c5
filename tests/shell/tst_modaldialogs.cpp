// The seam for the shell's modal boxes and folder chooser: the real boxes show what they are
// given, and a scripted stand-in replaces them only while it lives.

#include "shell/ModalDialogs.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Runs act on the modal dialog of that kind as soon as it is up, once.
template <class Dialog> void WhenShown(std::function<void(Dialog*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(dialog);
        }
    });
    poll->start(10);
}

} // namespace

class TestModalDialogs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void realBoxShowsWhatItIsGiven_data();
    void realBoxShowsWhatItIsGiven();
    void scriptedDialogsStandInWhileTheyLive();
};

void TestModalDialogs::realBoxShowsWhatItIsGiven_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("pressed");
    QTest::newRow("a question answered Yes")
        << int(QMessageBox::Question) << int(QMessageBox::Yes | QMessageBox::No)
        << int(QMessageBox::No) << int(QMessageBox::Yes);
    QTest::newRow("information") << int(QMessageBox::Information) << int(QMessageBox::Ok)
                                 << int(QMessageBox::NoButton) << int(QMessageBox::Ok);
}

void TestModalDialogs::realBoxShowsWhatItIsGiven()
{
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, pressed);

    ModalDialogs::MessageBox box{QMessageBox::Icon(icon),
                                 nullptr,
                                 "REALLY?",
                                 "Are you sure?",
                                 QMessageBox::StandardButtons(buttons),
                                 QMessageBox::StandardButton(defaultButton)};
    ModalDialogs::MessageBox seen;
    WhenShown<QMessageBox>([&](QMessageBox* shown) {
        seen = {shown->icon(),
                nullptr,
                shown->windowTitle(),
                shown->text(),
                shown->standardButtons(),
                shown->standardButton(shown->defaultButton())};
        shown->button(QMessageBox::StandardButton(pressed))->click();
    });
    QCOMPARE(int(ModalDialogs::Current().Show(box)), pressed);
    QCOMPARE(seen.icon, box.icon);
    QCOMPARE(seen.title, box.title);
    QCOMPARE(seen.text, box.text);
    QCOMPARE(seen.buttons, box.buttons);
    QCOMPARE(seen.defaultButton, box.defaultButton);
}

void TestModalDialogs::scriptedDialogsStandInWhileTheyLive()
{
    ModalDialogs& real = ModalDialogs::Current();
    {
        ScriptedDialogs outer;
        outer.answers << QMessageBox::Yes;
        {
            ScriptedDialogs inner;
            inner.folders << "/tmp/x";
            QCOMPARE(ModalDialogs::Current().ChooseFolder(nullptr, "Set Download Folder"),
                     QString("/tmp/x"));
            QCOMPARE(ModalDialogs::Current().ChooseFolder(nullptr, "again"), QString());
            QCOMPARE(inner.chooserTitles, QStringList({"Set Download Folder", "again"}));
        }
        ModalDialogs::MessageBox box;
        box.title = "REALLY?";
        QCOMPARE(ModalDialogs::Current().Show(box), QMessageBox::Yes);
        QCOMPARE(ModalDialogs::Current().Show(box), QMessageBox::NoButton);
        QCOMPARE(outer.shown.size(), 2);
        QCOMPARE(outer.shown.at(0).title, QString("REALLY?"));
    }
    QCOMPARE(&ModalDialogs::Current(), &real);
}

QTEST_MAIN(TestModalDialogs)
#include "tst_modaldialogs.moc"
