// Who may see which shared folder, finding a shared file by path, received share trees, and what
// the manager tells the server at login.

#include "SharesTestEnv.h"

#include "store/GeneralFunctions.h"

class tst_SharedFolders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void visibility_data();
    void visibility();
    void folderOfTwoGroupsListedOnce();
    void fileUnderNestedRootsVisibleThroughEither_data();
    void fileUnderNestedRootsVisibleThroughEither();
    void findsFileByPath_data();
    void findsFileByPath();
    void exactSpellingWinsOverCaseBlindMatch();
    void removeUserShare();
    void displayString_data();
    void displayString();
    void loginReportAndOwnSpeed();
};

namespace {

QStringList Names(SharesTestEnv& env, const ItemSet& roots)
{
    QStringList out;
    for (Item* root : roots)
        out << env.Relative(root->AsString());
    out.sort();
    return out;
}

} // namespace

void tst_SharedFolders::visibility_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("visible");

    // The three folders: "public", "userlist", and "group" (shared with group G).
    QTest::newRow("never seen") << "unknown" << QStringList{"public"};
    QTest::newRow("outside the user list") << "outside" << QStringList{"public"};
    QTest::newRow("in the list, no group") << "listed" << QStringList{"public", "userlist"};
    QTest::newRow("in group G") << "member" << QStringList{"group", "public", "userlist"};
    QTest::newRow("in another group") << "other" << QStringList{"public", "userlist"};
    QTest::newRow("unshared") << "unshared" << QStringList{};
    QTest::newRow("unshared, in group G") << "unshared member" << QStringList{};
}

void tst_SharedFolders::visibility()
{
    QFETCH(QString, user);
    QFETCH(QStringList, visible);

    SharesTestEnv env;
    env.Init();
    for (const char* folder : {"public", "userlist", "group"})
        env.Write(QString::fromLatin1(folder) + "/f.mp3");
    env.Share("public", "shared_public");
    env.Share("userlist", "shared_userlist");
    ItemPtr groupFolder = env.Share("group", nullptr);
    ItemPtr g = d.GetType("user_list_group")->GetItem("G");
    groupFolder += g;
    ItemPtr h = d.GetType("user_list_group")->GetItem("H");

    env.env().User("outside");
    env.env().User("listed").NewItem("in_user_list");
    env.env().User("member").NewItem("in_user_list") += g;
    env.env().User("other").NewItem("in_user_list") += h;
    env.env().User("unshared").NewItem("unshared");
    ItemPtr unsharedMember = env.env().User("unshared member");
    unsharedMember.NewItem("in_user_list") += g;
    unsharedMember.NewItem("unshared");

    const std::string name = user.toStdString();
    QCOMPARE(Names(env, env.shares().GetUserSharedFolders(name)), visible);
    QVERIFY(d.GetType("user")->HasItem("unknown").IsNull());

    for (const char* folder : {"public", "userlist", "group"}) {
        ItemPtr file = env.File(QString::fromLatin1(folder) + "/f.mp3");
        QVERIFY(file);
        QCOMPARE(env.shares().IsFileSharedWithUser(file, name),
                 visible.contains(QString::fromLatin1(folder)));
    }
}

void tst_SharedFolders::folderOfTwoGroupsListedOnce()
{
    SharesTestEnv env;
    env.Init();
    ItemPtr folder = env.Share("music", nullptr);
    ItemPtr inList = env.env().User("carol").NewItem("in_user_list");
    for (const char* group : {"friends", "family"}) {
        ItemPtr g = d.GetType("user_list_group")->GetItem(group);
        folder += g;
        inList += g;
    }
    const ItemSet visible = env.shares().GetUserSharedFolders("carol");
    QCOMPARE(visible.Size(), size_t(1));
    QCOMPARE(visible.First(), folder.Get());
}

void tst_SharedFolders::fileUnderNestedRootsVisibleThroughEither_data()
{
    QTest::addColumn<bool>("outerPublic");
    QTest::newRow("outer root public, inner for a group") << true;
    QTest::newRow("inner root public, outer for a group") << false;
}

void tst_SharedFolders::fileUnderNestedRootsVisibleThroughEither()
{
    QFETCH(bool, outerPublic);

    SharesTestEnv env;
    env.Write("outer/inner/song.mp3");
    ItemPtr group = d.GetType("user_list_group")->GetItem("G");
    env.Share("outer", outerPublic ? "shared_public" : nullptr);
    env.Share("outer/inner", outerPublic ? nullptr : "shared_public");
    (outerPublic ? env.Share("outer/inner", nullptr) : env.Share("outer", nullptr)) += group;
    env.Init();

    ItemPtr file = env.File("outer/inner/song.mp3");
    QCOMPARE(file["shared_file_folder"].GetItems("shared_folder").Size(), size_t(2));
    QVERIFY(env.shares().IsFileSharedWithUser(file, "stranger"));
    env.env().User("mallory").NewItem("unshared");
    QVERIFY(!env.shares().IsFileSharedWithUser(file, "mallory"));
}

void tst_SharedFolders::findsFileByPath_data()
{
    QTest::addColumn<QString>("asked");
    QTest::addColumn<bool>("found");

    // Shared as <tmp>/Music/A.mp3; asked for under <tmp>.
    QTest::newRow("exact") << "/Music/A.mp3" << true;
    QTest::newRow("other case, doubled separator") << "/music//a.MP3" << true;
    QTest::newRow("trailing separator") << "/MUSIC/A.MP3/" << true;
    QTest::newRow("backslashes") << "\\music\\a.mp3" << false;
    QTest::newRow("other folder") << "/Musi/A.mp3" << false;
}

void tst_SharedFolders::findsFileByPath()
{
    QFETCH(QString, asked);
    QFETCH(bool, found);

    SharesTestEnv env;
    env.Write("Music/A.mp3");
    env.Share("Music");
    env.Init();
    ItemPtr file = env.shares().GetSharedFileItem(env.Path() + asked.toStdString());
    QCOMPARE(!file.IsNull(), found);
    if (found)
        QCOMPARE(file["shared_file_name"].AsString(), std::string("A.mp3"));
    QVERIFY(env.shares().GetSharedFileItem("").IsNull());
}

void tst_SharedFolders::exactSpellingWinsOverCaseBlindMatch()
{
    SharesTestEnv env;
    env.Write("Music/A.mp3", 10);
    env.Write("Music/a.mp3", 20);
    env.Share("Music");
    env.Init();

    for (const char* name : {"A.mp3", "a.mp3"}) {
        ItemPtr file = env.File(QStringLiteral("Music/") + name);
        QCOMPARE(file["shared_file_name"].AsString(), std::string(name));
    }
    // No exact spelling: either of the two, but one of them.
    ItemPtr either = env.File("music/A.MP3");
    QVERIFY(either == env.File("Music/A.mp3") || either == env.File("Music/a.mp3"));
}

void tst_SharedFolders::removeUserShare()
{
    SharesTestEnv env;
    // Unreachable, so any sweep would take it: nothing to remove runs none.
    d.GetType("user_share_file_name")->GetItem("loose");
    env.env().User("carol");
    env.shares().RemoveUserShare("carol");
    env.shares().RemoveUserShare("nobody");
    QVERIFY(d.GetType("user_share_file_name")->HasItem("loose"));
    QVERIFY(d.GetType("user")->HasItem("nobody").IsNull());

    ItemPtr share = env.env().User("bob") += d.GetType("user_share")->NewItem();
    ItemPtr top = share += d.GetType("user_share_folder")->NewItem();
    ItemPtr sub = share += d.GetType("user_share_folder")->NewItem();
    top += d.GetType("user_share_folder_name")->GetItem("music");
    sub += d.GetType("user_share_folder_name")->GetItem("music\\rock");
    sub.NewItem("user_share_folder_parent") += top.NewItem("user_share_folder_child");
    for (ItemPtr folder : {top, sub}) {
        ItemPtr file = folder += d.GetType("user_share_file")->NewItem();
        file += d.GetType("user_share_file_name")->GetItem("song.mp3");
        file += d.GetType("file_size")->GetItem("123456789");
    }
    share.NewItem("user_share_loaded");

    env.shares().RemoveUserShare("bob");
    for (const char* type :
         {"user_share", "user_share_loaded", "user_share_folder", "user_share_folder_parent",
          "user_share_folder_child", "user_share_folder_name", "user_share_file",
          "user_share_file_name", "file_size"})
        QVERIFY2(d.GetType(type)->ItemCount() == 0, type);
    QVERIFY(d.GetType("user")->HasItem("bob"));
}

void tst_SharedFolders::displayString_data()
{
    QTest::addColumn<QString>("bitrate");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("shown");

    QTest::newRow("variable, with length")
        << "192"
        << "vbr" << 245 << QString("192 VBR, ") + FormatSeconds(245).c_str();
    QTest::newRow("constant, no length") << "128"
                                         << "cbr" << -1 << "128 CBR";
    QTest::newRow("mode only") << ""
                               << "cbr" << -1 << " CBR";
    QTest::newRow("unknown mode word") << "64"
                                       << "abr" << -1 << "64";
    QTest::newRow("nothing") << ""
                             << "" << -1 << "";
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
