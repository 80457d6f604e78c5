// What every form shares from the shell: the two decodings of stored text and the doubling of
// "&", ties from store items back to live rows and widgets, and context menus answered by the
// scripted dialogs.

#include "shell/DisplayText.h"
#include "shell/Ties.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/ScriptedDialogs.h"
#include "support/StoreGuard.h"

#include <QMenu>
#include <QPointer>
#include <QTest>
#include <QTextDocument>
#include <QTreeWidget>
#include <QWindow>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr char kRowTie[] = "row_tie";
constexpr char kFormTie[] = "form_tie";

// A tied widget class as a form writes one.
class TiedForm : public QWidget
{
public:
    TiedForm() { Live().Insert(this); }
    ~TiedForm() override
    {
        Live().Erase(this);
        Ties::Remove(kFormTie, this);
    }
    static TiedForm* FromItem(ItemPtr item) { return Live().Follow<TiedForm>(item); }

private:
    static LiveSet& Live()
    {
        static LiveSet forms;
        return forms;
    }
};

} // namespace

class tst_FormHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodings_data();
    void decodings();
    void decodingsByKind_data();
    void decodingsByKind();
    void itemsShowAsTheirTypeSays();
    void settingsShowAsTheirKeySays_data();
    void settingsShowAsTheirKeySays();
    void rawTextKeepsEveryByte_data();
    void rawTextKeepsEveryByte();
    void escapeMnemonics_data();
    void escapeMnemonics();
    void escapeTitlePlaceholder_data();
    void escapeTitlePlaceholder();
    void cellText_data();
    void cellText();
    void tiesFollowOnlyLiveObjects();
    void liveSetThroughChurn_data();
    void liveSetThroughChurn();
    void scriptedMenus_data();
    void scriptedMenus();
};

void tst_FormHelpers::decodings_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("asName");
    QTest::addColumn<QString>("asText");
    QTest::newRow("ASCII") << QByteArray("bob") << "bob"
                           << "bob";
    QTest::newRow("UTF-8 bytes") << QByteArray("Caf\xc3\xa9")
                                 << QString::fromUtf8("Caf\xc3\x83\xc2\xa9")
                                 << QString::fromUtf8("Caf\xc3\xa9");
    QTest::newRow("a Latin-1 byte") << QByteArray("b\xe9la") << QString::fromUtf8("b\xc3\xa9la")
                                    << QString::fromUtf8("b\xef\xbf\xbdla");
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3)
                                << QString(QStringLiteral("a")) + QChar(0) + "b"
                                << QString(QStringLiteral("a")) + QChar(0) + "b";
}

void tst_FormHelpers::decodings()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, asName);
    QFETCH(QString, asText);
    const std::string bytes = stored.toStdString();
    QCOMPARE(NameText(bytes), asName);
    QCOMPARE(Utf8Text(bytes), asText);
    // Every name survives the round trip; text does when it was UTF-8.
    QCOMPARE(NameBytes(asName), bytes);
    if (!asText.contains(QChar::ReplacementCharacter))
        QCOMPARE(Utf8Bytes(asText), bytes);
}

Q_DECLARE_METATYPE(ValueKind)

void tst_FormHelpers::decodingsByKind_data()
{
    QTest::addColumn<ValueKind>("kind");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("roundTrip");
    QByteArray high;
    QString highShown;
    for (int b = 0x80; b <= 0xff; ++b) {
        high += char(b);
        highShown += QChar(b);
    }
    const QByteArray cafe = "Caf\xc3\xa9 \xe2\x98\x95";
    const QString cafeShown = QString::fromUtf8(cafe);
    QTest::newRow("a name of every byte 0x80-0xff") << ValueKind::Name << high << highShown << true;
    QTest::newRow("a name in UTF-8 bytes")
        << ValueKind::Name << cafe << QString::fromLatin1(cafe) << true;
    QTest::newRow("UTF-8 text") << ValueKind::Utf8 << cafe << cafeShown << true;
    QTest::newRow("text with a Latin-1 byte") << ValueKind::Utf8 << QByteArray("b\xe9la")
                                              << QString::fromUtf8("b\xef\xbf\xbdla") << false;
    QTest::newRow("a local path") << ValueKind::Path << QByteArray("/home/m\xc3\xbc/a b.mp3")
                                  << QString::fromUtf8("/home/m\xc3\xbc/a b.mp3") << true;
    QTest::newRow("a peer's path") << ValueKind::Path << QByteArray("@@x\\M\xc3\xbcsic\\")
                                   << QString::fromUtf8("@@x\\M\xc3\xbcsic\\") << true;
    QTest::newRow("a number") << ValueKind::Number << QByteArray("-2147483648")
                              << QString("-2147483648") << true;
    QTest::newRow("a number with a stray byte")
        << ValueKind::Number << QByteArray("12\xe9") << QString::fromUtf8("12\xc3\xa9") << true;
    QTest::newRow("a time") << ValueKind::Time << QByteArray("Tue Dec 8 01:45:00 2026")
                            << QString("Tue Dec 8 01:45:00 2026") << true;
    QTest::newRow("a word") << ValueKind::Word << QByteArray("waiting for offset")
                            << QString("waiting for offset") << true;
    QTest::newRow("an address") << ValueKind::Address << QByteArray("18446744073709551615")
                                << QString("18446744073709551615") << true;
    QTest::newRow("a setting's text") << ValueKind::ByKey << cafe << cafeShown << true;
    QTest::newRow("a null type's item") << ValueKind::None << QByteArray() << QString() << true;
}

void tst_FormHelpers::decodingsByKind()
{
    QFETCH(ValueKind, kind);
    QFETCH(QByteArray, stored);
    QFETCH(QString, shown);
    QFETCH(bool, roundTrip);
    const std::string bytes = stored.toStdString();
    QCOMPARE(Shown(kind, bytes), shown);
    if (roundTrip)
        QCOMPARE(StoredBytes(kind, shown), bytes);
}

// The same bytes read as the type of their item says, and typed text stored the same way.
void tst_FormHelpers::itemsShowAsTheirTypeSays()
{
    StoreGuard store;
    Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Name);
    Type* room = d.NewType("room", RootPrimacy, false, true, ValueKind::Utf8);
    Type* flag = d.NewType("flag", ValuePrimacy, true, true, ValueKind::None);
    const std::string latin1 = "J\xe9r\xf4me";
    const std::string utf8 = "J\xc3\xa9r\xc3\xb4me";
    const QString jerome = QString::fromUtf8(utf8);

    QCOMPARE(Shown(user->GetItem(Value(latin1))), jerome);
    QCOMPARE(Shown(room->GetItem(Value(utf8))), jerome);
    QCOMPARE(Shown(user, utf8), QString::fromLatin1(utf8));
    QCOMPARE(StoredBytes(user, jerome), latin1);
    QCOMPARE(StoredBytes(room, jerome), utf8);
    // A character a name cannot hold, and a null type, which holds nothing.
    QCOMPARE(StoredBytes(user, QString::fromUtf8("\xe2\x98\x95")), std::string("?"));
    QCOMPARE(StoredBytes(flag, jerome), std::string());
    QCOMPARE(Shown(flag->NewItem()), QString());
    QCOMPARE(Shown(ItemPtr()), QString());
}

// A setting's values share one type: the key, not the value's type, says how its text reads.
void tst_FormHelpers::settingsShowAsTheirKeySays_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("shown");
    const QString jerome = QString::fromUtf8("J\xc3\xa9r\xc3\xb4me");
    QTest::newRow("a user name, Latin-1")
        << QByteArray("username") << QByteArray("J\xe9r\xf4me") << jerome;
    QTest::newRow("a password, Latin-1")
        << QByteArray("password") << QByteArray("p\xe4ss") << QString::fromUtf8("p\xc3\xa4ss");
    QTest::newRow("a folder, UTF-8")
        << QByteArray("download_folder") << QByteArray("/home/J\xc3\xa9r\xc3\xb4me/in")
        << QStringLiteral("/home/") + jerome + QStringLiteral("/in");
    QTest::newRow("a port") << QByteArray("listening_port") << QByteArray("2235")
                            << QStringLiteral("2235");
    QTest::newRow("a colour") << QByteArray("color_chat_status") << QByteArray("#a0b1c2")
                              << QStringLiteral("#a0b1c2");
    QTest::newRow("a key made from its name alone, UTF-8")
        << QByteArray("no_such_key") << QByteArray("J\xc3\xa9r\xc3\xb4me") << jerome;
    QTest::newRow("a user name with no value")
        << QByteArray("username") << QByteArray() << QString();
}

void tst_FormHelpers::settingsShowAsTheirKeySays()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, stored);
    QFETCH(QString, shown);
    const SettingKey known[] = {SettingKeys::Username, SettingKeys::Password,
                                SettingKeys::DownloadFolder, SettingKeys::ListeningPort,
                                SettingKeys::ColorChatStatus};
    SettingKey setting{key.constData()};
    for (const SettingKey& k : known) {
        if (key == k.name)
            setting = k;
    }
    StoreGuard store;
    DataSaver saver;
    Settings::CreateData(saver);
    if (!stored.isEmpty())
        Settings::Set(setting, stored.toStdString());
    QCOMPARE(Shown(setting), shown);
    // Typed text goes back as the same bytes.
    QCOMPARE(StoredBytes(setting, shown), stored.toStdString());
}

void tst_FormHelpers::rawTextKeepsEveryByte_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("characters");
    QByteArray every;
    for (int b = 1; b <= 0xff; ++b)
        every += char(b);
    QTest::newRow("every byte but NUL") << every << 255;
    // Shown byte for byte, whatever the kind: UTF-8 is not joined into characters.
    QTest::newRow("UTF-8 bytes") << QByteArray("Caf\xc3\xa9") << 5;
    QTest::newRow("a bare Latin-1 byte") << QByteArray("b\xe9la") << 4;
    QTest::newRow("nothing") << QByteArray() << 0;
}

void tst_FormHelpers::rawTextKeepsEveryByte()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, characters);
    const std::string bytes = stored.toStdString();
    const QString text = RawText(bytes);
    QCOMPARE(text.size(), characters);
    for (qsizetype i = 0; i < text.size(); ++i)
        QCOMPARE(text.at(i).unicode(), char16_t(uchar(stored.at(i))));
    QCOMPARE(RawBytes(text), bytes);
}

void tst_FormHelpers::escapeMnemonics_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("none") << "Rock"
                          << "Rock";
    QTest::newRow("one") << "R&B"
                         << "R&&B";
    QTest::newRow("already two") << "R&&B"
                                 << "R&&&&B";
    QTest::newRow("at the ends") << "&x&"
                                 << "&&x&&";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_FormHelpers::escapeMnemonics()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(EscapeMnemonics(text), escaped);
    // What a button or menu entry then shows is the text as typed.
    QAction action(escaped);
    QCOMPARE(action.iconText(), text);
}

void tst_FormHelpers::escapeTitlePlaceholder_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << "anna";
    QTest::newRow("inside") << "a[*]b";
    QTest::newRow("twice") << "[*]x[*]";
    QTest::newRow("already doubled") << "[*][*]";
    QTest::newRow("parts only") << "[*x] [ * ]";
}

void tst_FormHelpers::escapeTitlePlaceholder()
{
    QFETCH(QString, text);
    // What the window system is handed is the text as written, modified or not.
    QWidget window;
    window.setWindowTitle(EscapeTitlePlaceholder(text));
    window.show();
    QCOMPARE(window.windowHandle()->title(), text);
    window.setWindowModified(true);
    QCOMPARE(window.windowHandle()->title(), text);
}

void tst_FormHelpers::cellText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cell");
    QTest::newRow("plain") << "song.mp3"
                           << "song.mp3";
    QTest::newRow("line breaks as blanks") << "a\nb\rc\r\nd\u2028e\u2029f"
                                           << "a b c  d e f";
    QTest::newRow("direction controls shown")
        << "\u202a\u202b\u202c\u202d\u202ex\u2066\u2067\u2068\u2069"
        << QString(5, QChar::ReplacementCharacter) + "x" + QString(4, QChar::ReplacementCharacter);
    // Marks that move nothing stay.
    QTest::newRow("marks kept") << "a\u200eb\u200fc\u2029"
                                << "a\u200eb\u200fc ";
    QTest::newRow("markup as it is") << "<b>&amp;</b>"
                                     << "<b>&amp;</b>";
    const QString full(kMaxCellChars, 'x');
    QTest::newRow("at the cap") << full << full;
    QTest::newRow("one over") << full + "y" << full.left(kMaxCellChars - 1) + "\u2026";
    QTest::newRow("a line break past the cut") << full + "\n"
                                               << full.left(kMaxCellChars - 1) + "\u2026";
    // A character of two units at the cut goes whole.
    QTest::newRow("two units at the cut")
        << full.left(kMaxCellChars - 2) + "\U0001F600z" << full.left(kMaxCellChars - 2) + "\u2026";
    QTest::newRow("empty") << ""
                           << "";
    // Marks past kMaxMarksPerCharacter on one character are left out, an ellipsis in their place;
    // what follows them shows.
    const QString acute(QChar(0x301));
    const QString marked = "a" + acute.repeated(kMaxMarksPerCharacter);
    QTest::newRow("marks up to the cap") << marked + "b" << marked + "b";
    QTest::newRow("one mark over") << marked + acute + "b" << marked + "\u2026b";
    QTest::newRow("999 marks on a file name's letter")
        << "x" + acute.repeated(999) + ".mp3"
        << "x" + acute.repeated(kMaxMarksPerCharacter) + "\u2026.mp3";
    QTest::newRow("letters each with many marks")
        << ("a" + acute.repeated(40)).repeated(3) << (marked + "\u2026").repeated(3);
    QTest::newRow("real marks kept") << "Vie\u0323\u0302t"
                                     << "Vie\u0323\u0302t";
    const QString zhe(3 * kMaxCellChars, QChar(0x416));
    QTest::newRow("letters past the cap") << zhe << zhe.left(kMaxCellChars - 1) + "\u2026";
    const QString man("\U0001F468");
    const QString family = man + "\u200d\U0001F469\u200d\U0001F467\u200d\U0001F466";
    QTest::newRow("a family kept whole") << family.repeated(2) << family.repeated(2);
    // A chain of joined emoji is one character: it keeps its first and 16 more code points.
    QTest::newRow("a chain of joined emoji")
        << (man + "\u200d").repeated(50) + man << (man + "\u200d").repeated(8) + man + "\u2026";
    // Marks far past what is looked at end the text.
    QTest::newRow("a megabyte of marks")
        << "a" + acute.repeated(1 << 20) + "b" << marked + "\u2026\u2026";
    QTest::newRow("marked letters past the cap")
        << ("a" + acute.repeated(40)).repeated(100)
        << (marked + "\u2026").repeated(int(kMaxCellChars - 1) / (kMaxMarksPerCharacter + 2)) +
               "\u2026";
}

void tst_FormHelpers::cellText()
{
    QFETCH(QString, text);
    QFETCH(QString, cell);
    QCOMPARE(CellText(text), cell);
    QVERIFY(CellText(text).size() <= kMaxCellChars);
    // A tooltip shows the same as plain text, whatever markup it holds.
    QTextDocument tip;
    tip.setHtml(ToolTipText(text));
    QCOMPARE(tip.toPlainText(), cell);
}

void tst_FormHelpers::tiesFollowOnlyLiveObjects()
{
    StoreGuard store;
    d.NewType(kRowTie, RootPrimacy, false, true, ValueKind::Utf8);
    d.NewType(kFormTie, RootPrimacy, false, true, ValueKind::Utf8);
    auto tree = std::make_unique<QTreeWidget>();
    auto* row = new TiedRow(tree.get());
    auto* child = new TiedRow(row);
    auto* plain = new QTreeWidgetItem(tree.get());
    auto form = std::make_unique<TiedForm>();

    QCOMPARE(TiedRow::FromItem(Ties::Make(kRowTie, row)), row);
    QCOMPARE(TiedRow::FromItem(Ties::Make(kRowTie, child)), child);
    QCOMPARE(Ties::Find(kRowTie, row).Get(), Ties::Make(kRowTie, row).Get());
    // Not a tied row, not of the class asked for, or no tie at all: nothing is followed.
    QCOMPARE(TiedRow::FromItem(Ties::Make(kRowTie, plain)), nullptr);
    QCOMPARE(TiedRow::FromItem(Ties::Make(kFormTie, form.get())), nullptr);
    QCOMPARE(TiedForm::FromItem(Ties::Make(kRowTie, row)), nullptr);
    QCOMPARE(TiedForm::FromItem(Ties::Find(kFormTie, form.get())), form.get());
    QCOMPARE(TiedRow::FromItem(ItemPtr()), nullptr);
    QVERIFY(Ties::Find("no_such_type", row).IsNull());
    QVERIFY(Ties::Find(kRowTie, tree.get()).IsNull());

    // Gone with their tree, their ties left behind name nothing live any more.
    ItemPtr rowTie = Ties::Find(kRowTie, row);
    ItemPtr childTie = Ties::Find(kRowTie, child);
    tree.reset();
    QCOMPARE(TiedRow::FromItem(rowTie), nullptr);
    QCOMPARE(TiedRow::FromItem(childTie), nullptr);
    // A tied widget takes its tie with it.
    form.reset();
    QCOMPARE(d.GetType(kFormTie)->ItemCount(), size_t(0));
    Ties::Remove(kRowTie, nullptr);
    Ties::Remove("no_such_type", nullptr);
}

void tst_FormHelpers::scriptedMenus_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("triggered");
    QTest::newRow("an entry") << "Download &&Folder"
                              << "Download &&Folder";
    QTest::newRow("in a submenu") << "Groups > friends"
                                  << "friends";
    QTest::newRow("a submenu's title") << "Groups"
                                       << "";
    QTest::newRow("disabled") << "Ignore"
                              << "";
    QTest::newRow("hidden") << "Secret"
                            << "";
    QTest::newRow("none scripted") << ""
                                   << "";
}

void tst_FormHelpers::scriptedMenus()
{
    QFETCH(QString, choice);
    QFETCH(QString, triggered);
    ScriptedDialogs dialogs;
    if (!choice.isEmpty())
        dialogs.menuChoices << choice;
    QMenu menu;
    menu.addAction("Download &&Folder");
    menu.addSeparator();
    QMenu* groups = menu.addMenu("Groups");
    groups->addAction("friends");
    menu.addAction("Ignore")->setEnabled(false);
    menu.addAction("Secret")->setVisible(false);
    QStringList seen;
    for (QAction* action : menu.actions() + groups->actions())
        connect(action, &QAction::triggered, this, [&seen, action] { seen << action->text(); });
    QStringList shown;
    dialogs.whileMenuOpen = [&shown](QMenu* open) {
        shown << open->actions().first()->text() + (open->isVisible() ? " shown" : " hidden");
    };

    QAction* chosen = ModalDialogs::Current().RunMenu(&menu, QPoint(40, 30));
    QCOMPARE(dialogs.menus.size(), 1);
    QCOMPARE(dialogs.menus.at(0).at, QPoint(40, 30));
    QCOMPARE(dialogs.menus.at(0).entries,
             (QStringList{"Download &&Folder", "-", "Groups", "Groups > friends", "Ignore"}));
    QCOMPARE(shown, QStringList{"Download &&Folder shown"});
    QVERIFY(!menu.isVisible());
    QCOMPARE(chosen ? chosen->text() : QString(), triggered);
    QCOMPARE(seen, triggered.isEmpty() ? QStringList{} : QStringList{triggered});
}

void tst_FormHelpers::liveSetThroughChurn_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("stride");     // bytes between the addresses
    QTest::addColumn<int>("eraseEvery"); // erased in a shuffled order: every n-th of them
    QTest::newRow("a few rows") << 5 << 112 << 2;
    QTest::newRow("a tab of answers, half gone") << 20000 << 112 << 2;
    QTest::newRow("packed addresses, most gone") << 5000 << 8 << 1;
    QTest::newRow("page-aligned addresses") << 3000 << 4096 << 3;
}

void tst_FormHelpers::liveSetThroughChurn()
{
    QFETCH(int, count);
    QFETCH(int, stride);
    QFETCH(int, eraseEvery);
    // Addresses are only compared, never followed.
    const auto address = [stride](int i) {
        return reinterpret_cast<const void*>(quintptr(0x7f0000100000) + quintptr(i) * stride);
    };
    LiveSet set;
    std::vector<int> order(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        order[size_t(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(count));
    for (int i : order)
        set.Insert(address(i));
    set.Insert(address(order.front())); // once only
    QCOMPARE(set.Size(), size_t(count));

    std::shuffle(order.begin(), order.end(), std::mt19937(stride));
    std::vector<bool> live(static_cast<size_t>(count), true);
    size_t left = size_t(count);
    for (size_t k = 0; k < order.size(); k += size_t(eraseEvery)) {
        set.Erase(address(order[k]));
        set.Erase(address(order[k])); // a second time changes nothing
        live[size_t(order[k])] = false;
        --left;
    }
    QCOMPARE(set.Size(), left);
    for (int i = 0; i < count; ++i)
        QVERIFY2(set.Contains(address(i)) == live[size_t(i)], qPrintable(QString::number(i)));
    QVERIFY(!set.Contains(address(count)));
    QVERIFY(!set.Contains(nullptr));

    for (int i = 0; i < count; ++i)
        set.Erase(address(i));
    QCOMPARE(set.Size(), size_t(0));
    QVERIFY(!set.Contains(address(0)));
    QVERIFY2(set.Capacity() <= 64, qPrintable(QString::number(set.Capacity())));
}

QTEST_MAIN(tst_FormHelpers)
#include "tst_formhelpers.moc"
