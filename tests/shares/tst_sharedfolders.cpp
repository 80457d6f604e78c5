// Who may see which shared folder, finding a shared file by path, the words a shared file is
// indexed under and how a search text is cut into words, how a received file's details are shown,
// and what the manager tells the server at login.

#include "SharesTestEnv.h"

#include "shares/SearchParser.h"
#include "store/GeneralFunctions.h"

class tst_SharedFolders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void visibility_data();
    void visibility();
    void findsFileByPath_data();
    void findsFileByPath();
    void tokens_data();
    void tokens();
    void queries_data();
    void queries();
    void displayString_data();
    void displayString();
    void loginReportAndOwnSpeed();
};

namespace {

// A set of words as the rows below write it: "{a, b}".
QString Braced(const std::set<std::string>& words)
{
    QStringList list;
    for (const std::string& w : words)
        list << QString::fromStdString(w);
    return '{' + list.join(QStringLiteral(", ")) + '}';
}

} // namespace

void tst_SharedFolders::visibility_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("visible");

    QTest::newRow("never seen") << "unknown" << QStringList{"/public"};
    QTest::newRow("outside the user list") << "outside" << QStringList{"/public"};
    QTest::newRow("in the list, no group") << "listed" << QStringList{"/public", "/userlist"};
    QTest::newRow("in group G") << "member" << QStringList{"/group", "/public", "/userlist"};
    QTest::newRow("in both groups: listed once")
        << "both" << QStringList{"/group", "/public", "/userlist"};
    QTest::newRow("in the nested root's group")
        << "other" << QStringList{"/group/x", "/public", "/userlist"};
    QTest::newRow("unshared") << "unshared" << QStringList{};
    QTest::newRow("unshared, in group G") << "unshared member" << QStringList{};
}

void tst_SharedFolders::visibility()
{
    QFETCH(QString, user);
    QFETCH(QStringList, visible);

    SharesTestEnv env;
    SharesTestEnv::AddAccessCases();
    const std::string name = user.toStdString();
    QStringList roots;
    for (Item* root : env.shares().GetUserSharedFolders(name))
        roots << QString::fromStdString(root->AsString());
    roots.sort();
    QCOMPARE(roots, visible);
    QVERIFY(d.GetType("user")->HasItem("unknown").IsNull());

    // A file is shared with the user when any of its folder's roots is visible: /group/x/tune.mp3
    // through /group for member, through /group/x for other.
    for (Item* file : g("shared_file")) {
        bool expected = false;
        for (Item* root : ItemPtr(file)["shared_file_folder"].GetItems("shared_folder"))
            expected = expected || visible.contains(QString::fromStdString(root->AsString()));
        QCOMPARE(env.shares().IsFileSharedWithUser(file, name), expected);
    }
}

void tst_SharedFolders::findsFileByPath_data()
{
    QTest::addColumn<bool>("twin"); // a.mp3 shared beside A.mp3
    QTest::addColumn<QString>("asked");
    QTest::addColumn<QString>("found"); // the name found; empty: none
    QTest::addColumn<bool>("loaded");   // the share saved and loaded again first

    const auto row = [](const char* name, bool twin, const char* asked, const char* found) {
        for (const bool loaded : {false, true})
            QTest::addRow("%s%s", name, loaded ? ", loaded" : "")
                << twin << QString(asked) << QString(found) << loaded;
    };
    row("exact", false, "/Music/A.mp3", "A.mp3");
    row("other case, doubled separator", false, "/music//a.MP3", "A.mp3");
    row("trailing separator", false, "/MUSIC/A.MP3/", "A.mp3");
    row("backslashes", false, "\\music\\a.mp3", "");
    row("other folder", false, "/Musi/A.mp3", "");
    row("empty", false, "", "");
    // The case-blind match could pick either: the exact spelling wins.
    row("twins, lower case asked", true, "/Music/a.mp3", "a.mp3");
    row("twins, upper case asked", true, "/Music/A.mp3", "A.mp3");
    // Names and folders past the length kept inside an item, in lower case already or not.
    row("long names", false, "/MUSIC/LONGER FOLDER NAME/ALREADY IN LOWER CASE.MP3",
        "already in lower case.mp3");
    row("long names, mixed case", true, "/music/longer folder name/twin in mixed case.mp3",
        "Twin In Mixed Case.mp3");
    // Only ASCII letters differ by case: the UTF-8 bytes of E-acute are not those of e-acute.
    row("long names, UTF-8", false, "/music/longer folder name/\xc3\x89t\xc3\x89 long name.MP3",
        "\xc3\x89T\xc3\x89 Long Name.mp3");
    row("long names, UTF-8 lowered", false,
        "/music/longer folder name/\xc3\xa9t\xc3\xa9 long name.mp3", "");
}

void tst_SharedFolders::findsFileByPath()
{
    QFETCH(bool, twin);
    QFETCH(QString, asked);
    QFETCH(QString, found);
    QFETCH(bool, loaded);

    // Every name and folder with its lower-case key as read and whether looking that up finds
    // it, and the keys there are.
    const auto keys = [] {
        QStringList all;
        for (const auto& [type, keyType] :
             {std::pair("shared_file_name", "shared_file_lowercase_name"),
              std::pair("shared_file_folder", "shared_file_folder_lowercase_name")}) {
            for (Item* item : g(type)) {
                ItemPtr key = ItemPtr(item)[keyType];
                const std::string text = key.AsString();
                const bool found =
                    d.GetType(keyType)->HasItem(text).Get() == key.Get() && text == key.AsCStr();
                all << QString::fromStdString(item->AsString() + " > " + text +
                                              (found ? "" : " (not found)"));
            }
            all << QString::number(d.GetType(keyType)->ItemCount());
        }
        all.sort();
        return all;
    };
    QTemporaryDir dir;
    const QString storeFile = dir.filePath(QStringLiteral("store"));
    QStringList made;
    {
        SharesTestEnv env;
        ItemPtr music = SharesTestEnv::Root("/Music");
        if (twin)
            SharesTestEnv::AddFile(music, "/Music", "a.mp3");
        SharesTestEnv::AddFile(music, "/Music", "A.mp3");
        const std::string longer = "/Music/Longer Folder Name";
        SharesTestEnv::AddFile(music, longer, "already in lower case.mp3");
        SharesTestEnv::AddFile(music, longer, "Twin In Mixed Case.mp3");
        if (twin)
            SharesTestEnv::AddFile(music, longer, "twin in mixed case.MP3");
        SharesTestEnv::AddFile(music, longer, "\xc3\x89T\xc3\x89 Long Name.mp3");
        made = keys();
        if (!loaded) {
            ItemPtr file = env.shares().GetSharedFileItem(asked.toStdString());
            QCOMPARE(QString::fromStdString(file["shared_file_name"].AsString()), found);
            return;
        }
        QVERIFY(dataSaver->Save(storeFile));
    }
    // Keyed by the load in bulk: the same lookups, before any key is read, and the same keys,
    // linked alike.
    SharesTestEnv env(QString(), storeFile);
    ItemPtr file = env.shares().GetSharedFileItem(asked.toStdString());
    QCOMPARE(QString::fromStdString(file["shared_file_name"].AsString()), found);
    QCOMPARE(keys(), made);
    // Each key leaves the index it entered under its lower-case text.
    Type* keyType = d.GetType("shared_file_lowercase_name");
    std::vector<std::string> texts;
    for (Item* key : g("shared_file_lowercase_name"))
        texts.push_back(GetAbsoluteFileName(key->AsString()));
    for (const std::string& text : texts) {
        keyType->HasItem(text).Remove();
        QVERIFY2(keyType->HasItem(text).IsNull(), text.c_str());
    }
}

void tst_SharedFolders::tokens_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("words");

    QTest::newRow("Track01.MP3 in /music/Old")
        << QByteArray("/music/Old") << QByteArray("Track01.MP3")
        << "{mp3, music, old, track01, track01.mp3}";
    QTest::newRow("punctuation") << QByteArray("/m") << QByteArray("my-song (live).mp3")
                                 << "{(live).mp3, live, m, mp3, my, my-song, song}";
    QTest::newRow("separators only") << QByteArray("/m") << QByteArray("---") << "{---, m}";
    // Only ASCII letters are lowered; the UTF-8 bytes of E-acute stay as they are.
    QTest::newRow("accented") << QByteArray("/m") << QByteArray("\xc3\x89T\xc3\x89.mp3")
                              << QString::fromUtf8("{m, mp3, \xc3\x89t\xc3\x89, "
                                                   "\xc3\x89t\xc3\x89.mp3}");
    QTest::newRow("blanks in the folder")
        << QByteArray("/My Music/a b") << QByteArray("x") << "{a, b, music, my, x}";
}

void tst_SharedFolders::tokens()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(QString, words);

    SharesTestEnv env;
    ItemPtr file =
        SharesTestEnv::AddFile(SharesTestEnv::Root("/"), folder.toStdString(), name.toStdString());
    QCOMPARE(Braced(SharesTestEnv::Tokens(file)), words);
    QCOMPARE(d.GetType("search_token")->ItemCount(), SharesTestEnv::Tokens(file).size());

    // Again: nothing new.
    const size_t links = file->ConnectionCount();
    env.shares().TokenizeSharedFile(file);
    QCOMPARE(file->ConnectionCount(), links);
}

void tst_SharedFolders::queries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("parsed"); // included, part and excluded words, and valid or not

    QTest::newRow("all three kinds") << QByteArray("abc -def *gh") << "{abc} {gh} {def} valid";
    QTest::newRow("excluded only") << QByteArray("-abc") << "{} {} {abc} invalid";
    QTest::newRow("one part word") << QByteArray("*abc") << "{} {abc} {} valid";
    QTest::newRow("ends in a lone minus") << QByteArray("abc -") << "{abc} {} {} invalid";
    QTest::newRow("ends in a lone asterisk") << QByteArray("abc *") << "{abc} {} {} invalid";
    QTest::newRow("lone minus mid-text") << QByteArray("abc - def") << "{abc} {} {} invalid";
    QTest::newRow("quoted phrase, then a word")
        << QByteArray("\"new york\" band") << "{band, new york} {} {} valid";
    QTest::newRow("unclosed quote") << QByteArray("\"new york") << "{new york} {} {} valid";
    QTest::newRow("quote inside a word") << QByteArray("ab\"c") << "{} {} {} invalid";
    QTest::newRow("empty quotes") << QByteArray("abc \"\"") << "{abc} {} {} invalid";
    QTest::newRow("one prefix only") << QByteArray("-*abc x") << "{x} {} {*abc} valid";
    QTest::newRow("blanks and tabs only") << QByteArray(" \t  \t") << "{} {} {} invalid";
    QTest::newRow("tabs separate, case kept, repeats once")
        << QByteArray("\tAbc\tabc  Abc ") << "{Abc, abc} {} {} valid";
    QTest::newRow("excluded phrase")
        << QByteArray("rock -\"live at\"") << "{rock} {} {live at} valid";
}

void tst_SharedFolders::queries()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, parsed);

    SearchParser parser;
    const bool valid = parser.SetSearchText(query.toStdString());
    QCOMPARE(Braced(parser.GetIncludedTokenSet()) + ' ' + Braced(parser.GetIncludedPartTokenSet()) +
                 ' ' + Braced(parser.GetExcludedTokenSet()) + (valid ? " valid" : " invalid"),
             parsed);
}

void tst_SharedFolders::displayString_data()
{
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("shown");

    const auto row = [](const char* name, const char* bitrate, const char* mode, int seconds,
                        const QString& shown) {
        QTest::newRow(name) << QString(bitrate) << QString(mode) << seconds << shown;
    };
    row("variable, with length", "192", "vbr", 245,
        "192 VBR, " + QString(FormatSeconds(245).c_str()));
    row("constant, no length", "128", "cbr", -1, "128 CBR");
    row("mode only", "", "cbr", -1, " CBR");
    row("unknown mode word", "64", "abr", -1, "64");
    row("nothing", "", "", -1, "");
    // Four bytes on the wire, never negative.
    row("past 2^31", "4294967295", "cbr", -1, "4294967295 CBR");
}

void tst_SharedFolders::displayString()
{
    QFETCH(QString, bitrate);
    QFETCH(QString, mode);
    QFETCH(int, seconds);
    QFETCH(QString, shown);

    SharesTestEnv env;
    ItemPtr file = d.GetType("user_share_file")->NewItem();
    if (!bitrate.isEmpty())
        file += d.GetType("bitrate")->GetItem(bitrate.toStdString());
    if (!mode.isEmpty())
        file += d.GetType("bitrate_mode")->GetItem(mode.toStdString());
    if (seconds >= 0)
        file += d.GetType("length_seconds")->GetItem(seconds);
    QCOMPARE(env.shares().GetFileItemDisplayString(file), shown);
}

void tst_SharedFolders::loginReportAndOwnSpeed()
{
    SharesTestEnv env;
    env.Write("root/one.mp3");
    env.Write("root/two.ogg");
    env.Write("root/sub/three.mp3");
    env.Share("root");
    env.Init();

    QVERIFY(env.env().logIn());
    QByteArray rest;
    QVERIFY(env.env().takeMessage(35, &rest));
    QCOMPARE(hexBytes("23000000") + rest, hexBytes("23000000 02000000 03000000"));
    QVERIFY(env.env().takeMessage(36, &rest));
    QCOMPARE(hexBytes("24000000") + rest, hexBytes("24000000 05000000 616c696365"));

    // The server's statistics: only those of the own name, byte for byte, are kept; zero too.
    QSignalSpy received(&env.env().server(), &Server::ReceivedUserStats);
    for (const char* user : {"alice", "bob", "Alice"})
        env.env().fake().sendMessage(
            36, WireWriter().str(user).i32(user[0] == 'a' ? 0 : 777).u64(9).u32(3).u32(0));
    QTRY_COMPARE(received.size(), 3);
    QCOMPARE(env.env().Setting("upload_speed"), std::string("0"));
}

QTEST_GUILESS_MAIN(tst_SharedFolders)
#include "tst_sharedfolders.moc"
