// Share lists received from other users, turned into trees of folders and files in the store,
// and removed again.

#include "SharesTestEnv.h"

namespace {

// A received tree, one line per folder ("path", or "path < parent path", the parent marked when
// it is another user's) and per file ("path | name size", then its bitrate, length and mode when
// it has them), sorted.
QStringList Tree(const std::string& user)
{
    QStringList lines;
    ItemPtr share = StoreFixture::User(user)["user_share"];
    const auto name = [](ItemPtr item, const char* type) {
        return QString::fromStdString(item[type].AsString());
    };
    for (Item* f : share.GetItems("user_share_folder")) {
        ItemPtr folder(f);
        const QString path = name(folder, "user_share_folder_name");
        ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        if (!parent)
            lines << path;
        else
            lines << path + " < " + name(parent, "user_share_folder_name") +
                         (parent["user_share"] == share ? "" : " of another user");
        for (Item* i : folder.GetItems("user_share_file")) {
            ItemPtr file(i);
            QString line =
                path + " | " + name(file, "user_share_file_name") + ' ' + name(file, "file_size");
            for (const char* detail : {"bitrate", "length_seconds", "bitrate_mode"}) {
                if (file[detail])
                    line += ' ' + name(file, detail);
            }
            lines << line;
        }
    }
    lines.sort();
    return lines;
}

FileInfoMap Folders(const QStringList& paths)
{
    FileInfoMap map;
    for (const QString& path : paths)
        map[path.toStdString()];
    return map;
}

} // namespace

class tst_ReceivedShares : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parentLinks_data();
    void parentLinks();
    void filesAndTheirDetails();
    void secondListWaitsForRemoval();
    void listFromPeerBuildsTree();
};

void tst_ReceivedShares::parentLinks_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("tree");
    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("a top folder is not its own parent")
        << QStringList{"Music"} << QStringList{"Music"};
    QTest::newRow("one link") << QStringList{"Music", "Music\\Rock"}
                              << QStringList{"Music", "Music\\Rock < Music"};
    QTest::newRow("two links") << QStringList{"a\\b\\c", "a", "a\\b"}
                               << QStringList{"a", "a\\b < a", "a\\b\\c < a\\b"};
    QTest::newRow("no link past a missing folder")
        << QStringList{"a", "a\\b\\c"} << QStringList{"a", "a\\b\\c"};
    QTest::newRow("rooted paths") << QStringList{"\\music", "\\music\\live"}
                                  << QStringList{"\\music", "\\music\\live < \\music"};
}

void tst_ReceivedShares::parentLinks()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, tree);
    SharesTestEnv env;
    // Carol shares the same paths first: bob's folders hang under bob's own.
    sharedFoldersManager->OnUserShare("carol", Folders(folders), {});
    sharedFoldersManager->OnUserShare("bob", Folders(folders), {});
    QCOMPARE(Tree("bob"), tree);
    // Made last, and the sign that the tree is whole.
    QVERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    QCOMPARE(PeerTestEnv::Count("user_share_folder_parent"), size_t(2 * tree.filter(" < ").size()));
}

void tst_ReceivedShares::filesAndTheirDetails()
{
    SharesTestEnv env;
    LogLines log("Shared");
    FileInfoMap folders;
    folders["Music"] = {
        FileInfo("x.mp3", 5, AttributeMap("mp3", {{2, 5}, {0, 128}, {1, 61}, {0, 320}, {7, 1}})),
        FileInfo("y.ogg", 7),
        FileInfo("z.mp3", 9, AttributeMap("mp3", {{2, 0}})),
    };
    sharedFoldersManager->OnUserShare("b\xe9la", folders, {{0, "bitrate"}});
    QVERIFY(log.Has(QString::fromUtf8("Received shared file list from user b\xc3\xa9la")));
    // A repeated code replaces the first; unknown codes are skipped.
    QCOMPARE(Tree("b\xe9la"), (QStringList{"Music", "Music | x.mp3 5 320 61 vbr", "Music | y.ogg 7",
                                           "Music | z.mp3 9 cbr"}));
    ItemPtr plain = d.GetType("user_share_file_name")->HasItem(Value("y.ogg"))["user_share_file"];
    QCOMPARE(plain->ConnectionCount(), size_t(3)); // its folder, name and size
}

void tst_ReceivedShares::secondListWaitsForRemoval()
{
    SharesTestEnv env;
    // Nothing to remove: no user made, and no sweep run (it would take the unreachable name).
    d.GetType("user_share_file_name")->GetItem("loose");
    StoreFixture::User("carol");
    for (const char* user : {"carol", "nobody"})
        sharedFoldersManager->RemoveUserShare(user);
    QVERIFY(d.GetType("user_share_file_name")->HasItem("loose"));
    QVERIFY(d.GetType("user")->HasItem("nobody").IsNull());

    LogLines log("Shared");
    FileInfoMap first = Folders({"music", "music\\rock"});
    first["music\\rock"] = {FileInfo("song.mp3", 123456789)};
    sharedFoldersManager->OnUserShare("bob", first, {});
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    QCOMPARE(Tree("bob"),
             (QStringList{"music", "music\\rock < music", "music\\rock | song.mp3 123456789"}));
    QCOMPARE(log.lines.count("Received shared file list from user bob"), 2);

    sharedFoldersManager->RemoveUserShare("bob");
    for (const char* type :
         {"user_share", "user_share_loaded", "user_share_folder", "user_share_folder_parent",
          "user_share_folder_child", "user_share_folder_name", "user_share_file",
          "user_share_file_name", "file_size"})
        QVERIFY2(d.GetType(type)->ItemCount() == 0, type);
    QVERIFY(d.GetType("user")->HasItem("bob"));
    sharedFoldersManager->OnUserShare("bob", Folders({"second"}), {});
    QCOMPARE(Tree("bob"), QStringList{"second"});
}

void tst_ReceivedShares::listFromPeerBuildsTree()
{
    SharesTestEnv env;
    auto bob = env.env().DialMessaging(false);
    QVERIFY(bob);
    env.env().peer().GetUserSharedFiles("bob");
    const QByteArray list =
        WireWriter().u32(1).str("Music").u32(1).u8(1).str("x.mp3").u64(5).str("").u32(0).u32(0);
    bob->SendFrame(WireWriter().u32(5).raw(qCompress(list).mid(4)));
    QTRY_VERIFY(StoreFixture::User("bob")["user_share"]["user_share_loaded"]);
    QCOMPARE(Tree("bob"), (QStringList{"Music", "Music | x.mp3 5"}));
}

QTEST_GUILESS_MAIN(tst_ReceivedShares)
#include "tst_receivedshares.moc"
