// The store file: its bytes, saving without ever losing the previous file, loading and merging,
// and what happens to a file that cannot be read.

#include "store/DataSaver.h"
#include "store/Log.h"
#include "support/StoreGuard.h"

#include <QtTest>

namespace {

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

class Loaded : public DataLoadedEventHandler
{
public:
    int calls = 0;
    void DataLoaded() override { ++calls; }
};

// The settings shape every client has.
struct Settings
{
    Type* global;
    Type* value;
    Settings()
    {
        global = d.NewType("global", RootPrimacy, false, true);
        value = d.NewType("global_value", ValuePrimacy, false, true);
        global->RelateToType(value, Many, One);
    }
    void Set(const std::string& key, const std::string& v)
    {
        global->GetItem(key) += value->GetItem(v);
    }
    std::string Get(const std::string& key)
    {
        return global->GetItem(key)["global_value"].AsString();
    }
    void Register(DataSaver& saver)
    {
        saver.AddSavedType("global");
        saver.AddSavedByConnectionType("global_value", "global");
    }
};

class LogCatcher
{
public:
    LogCatcher()
    {
        connection_ = QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                                       [this](const QString& category, const QString& line) {
                                           lines << category + QStringLiteral(": ") + line;
                                       });
    }
    ~LogCatcher() { QObject::disconnect(connection_); }
    QStringList lines;

private:
    QMetaObject::Connection connection_;
};

} // namespace

class tst_DataSaver : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void emptyStoreIsEightZeroBytes();
    void nullTypeLayout();
    void pairsOnceAndOnlyBetweenSavedItems();
    void savedByConnectionWithoutQualifyingItems();
    void temporaryNameSkipsTakenNumbers();
    void neverWritesThroughALink();
    void percentSignsInPath();
    void failedRenameKeepsPreviousFile();
    void failedCreateKeepsPreviousFile();
    void settingsRoundTrip();
    void noFileTellsHandlersAtOnce();
    void truncatedFileIsMovedAside();
    void badLengths_data();
    void badLengths();
    void unknownTypeIsSkipped();
    void nullFlagMismatchFails();
    void unsavedTypeIsSkipped();
    void pairOfUnrelatedTypesIsDropped();
    void repeatedAndUnorderedIds();
    void handlerRemovesAnItemWhileLoading();

private:
    QString Path(const QString& name) const { return dir_->filePath(name); }
    // Writes the bytes as the file "store" and loads it.
    void LoadStore(DataSaver& saver, const QByteArray& bytes) const
    {
        WriteAll(Path("store"), bytes);
        saver.Load(Path("store"));
    }
    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_DataSaver::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void tst_DataSaver::emptyStoreIsEightZeroBytes()
{
    StoreGuard store;
    Settings s;
    s.Set("port", "2235");
    DataSaver saver;
    QVERIFY(saver.Save(Path("store")));
    QCOMPARE(ReadAll(Path("store")), QByteArray(8, '\0'));
    QVERIFY(!QFile::exists(Path("store.1")));
}

void tst_DataSaver::nullTypeLayout()
{
    StoreGuard store;
    Type* x = d.NewType("x", RootPrimacy, true, false);
    x->NewItem();
    x->NewItem();
    DataSaver saver;
    saver.AddSavedType("x");
    QVERIFY(saver.Save(Path("store")));
    QCOMPARE(ReadAll(Path("store")).toHex(),
             Hex("01000000 01000000 78 01 02000000 01000000 02000000 00000000").toHex());
}

void tst_DataSaver::pairsOnceAndOnlyBetweenSavedItems()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true);
    Type* b = d.NewType("b", RootPrimacy, false, true);
    Type* hidden = d.NewType("hidden", RootPrimacy, false, true);
    a->RelateToType(b, Many, Many);
    a->RelateToType(hidden, Many, Many);
    ItemPtr a1 = a->GetItem("p");
    b->GetItem("q") += a1;
    a1 += hidden->GetItem("h");
    DataSaver saver;
    saver.AddSavedType("b");
    saver.AddSavedType("a");
    QVERIFY(saver.Save(Path("store")));
    // Types in declaration order, ids over the whole file, one pair (1, 2).
    QCOMPARE(ReadAll(Path("store")).toHex(), Hex("02000000"
                                                 "01000000 61 00 01000000 01000000 01000000 70"
                                                 "01000000 62 00 01000000 02000000 01000000 71"
                                                 "01000000 01000000 02000000")
                                                 .toHex());
}

void tst_DataSaver::savedByConnectionWithoutQualifyingItems()
{
    StoreGuard store;
    Settings s;
    s.value->GetItem("stray");
    DataSaver saver;
    saver.AddSavedByConnectionType("global_value", "global");
    QVERIFY(saver.Save(Path("store")));
    QCOMPARE(ReadAll(Path("store")).toHex(),
             Hex("01000000 0c000000 676c6f62616c5f76616c7565 00 00000000 00000000").toHex());
}

void tst_DataSaver::temporaryNameSkipsTakenNumbers()
{
    StoreGuard store;
    DataSaver saver;
    WriteAll(Path("a.1"), "one");
    WriteAll(Path("a.2"), "two");
    // "a" is a folder with something in it, so the final rename fails and says which
    // temporary name was used.
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("a")));
    WriteAll(Path("a/keep"), "kept");
    LogCatcher log;
    QVERIFY(!saver.Save(Path("a")));
    QCOMPARE(log.lines.size(), 1);
    QVERIFY(log.lines[0].startsWith(QStringLiteral("Configuration Data: [")));
    QVERIFY2(log.lines[0].contains(Path("a.3") + QStringLiteral(" to ")),
             qPrintable(log.lines[0]));
    QVERIFY(!QFile::exists(Path("a.3")));
    QCOMPARE(ReadAll(Path("a/keep")), QByteArray("kept"));
    // With a file there, the save goes through and leaves the others alone.
    QVERIFY(QDir(Path("a")).removeRecursively());
    WriteAll(Path("a"), "previous");
    QVERIFY(saver.Save(Path("a")));
    QCOMPARE(ReadAll(Path("a")), QByteArray(8, '\0'));
    QVERIFY(!QFile::exists(Path("a.3")));
    QCOMPARE(ReadAll(Path("a.1")), QByteArray("one"));
    QCOMPARE(ReadAll(Path("a.2")), QByteArray("two"));
}

void tst_DataSaver::neverWritesThroughALink()
{
    StoreGuard store;
    DataSaver saver;
    // A link to nowhere under the first temporary name: taken, and left as it is.
    QVERIFY(QFile::link(Path("elsewhere"), Path("a.1")));
    QVERIFY(saver.Save(Path("a")));
    QVERIFY(!QFile::exists(Path("elsewhere")));
    QVERIFY(QFileInfo(Path("a.1")).isSymLink());
    QCOMPARE(ReadAll(Path("a")), QByteArray(8, '\0'));
}

void tst_DataSaver::percentSignsInPath()
{
    // A folder whose name looks like a placeholder: every name made from the path stays in it.
    StoreGuard store;
    Settings s;
    DataSaver saver;
    s.Register(saver);
    s.Set("port", "2240");
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("a%1b%2")));
    const QString path = Path(QStringLiteral("a%1b%2/store"));
    WriteAll(path + QStringLiteral(".1"), "taken");
    QVERIFY(saver.Save(path));
    QVERIFY(ReadAll(path).size() > 8);
    QCOMPARE(ReadAll(path + QStringLiteral(".1")), QByteArray("taken"));
    QVERIFY(!QFile::exists(path + QStringLiteral(".2")));

    // Two unreadable files in turn are both kept beside it.
    for (const QByteArray& bytes : {QByteArray("bad"), QByteArray("worse")}) {
        WriteAll(path, bytes);
        QVERIFY_THROWS_EXCEPTION(DataLoadFailure, saver.Load(path));
    }
    QCOMPARE(ReadAll(path + QStringLiteral(".unreadable")), QByteArray("bad"));
    QCOMPARE(ReadAll(path + QStringLiteral(".unreadable.2")), QByteArray("worse"));
}

void tst_DataSaver::failedRenameKeepsPreviousFile()
{
    StoreGuard store;
    DataSaver saver;
    // The target is a folder with something in it: the rename must fail.
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("store")));
    WriteAll(Path("store/keep"), "kept");
    LogCatcher log;
    QVERIFY(!saver.Save(Path("store")));
    QCOMPARE(ReadAll(Path("store/keep")), QByteArray("kept"));
    QVERIFY(!QFile::exists(Path("store.1")));
    QCOMPARE(log.lines.size(), 1);
    QVERIFY(log.lines[0].contains(QStringLiteral("previous file is kept")));
}

void tst_DataSaver::failedCreateKeepsPreviousFile()
{
    StoreGuard store;
    DataSaver saver;
    LogCatcher log;
    QVERIFY(!saver.Save(Path("no/such/folder/store")));
    QCOMPARE(log.lines.size(), 1);
}

void tst_DataSaver::settingsRoundTrip()
{
    const QString path = Path("store");
    {
        StoreGuard store;
        Settings s;
        DataSaver saver;
        s.Register(saver);
        s.Set("port", "2240");
        s.Set("name", "ann");
        s.Set("other", "2240");
        s.value->GetItem("unused");
        QVERIFY(saver.Save(path));
    }
    StoreGuard store;
    Settings s;
    DataSaver saver;
    s.Register(saver);
    Loaded loaded;
    saver.AddDataLoadedEventHandler(&loaded);
    // Defaults written before loading: one replaced by the saved value, one shared with it.
    s.Set("port", "2235");
    s.Set("speed", "2240");
    ItemPtr shared = s.value->GetItem("2240");
    saver.Load(path);
    QCOMPARE(loaded.calls, 1);
    QCOMPARE(s.Get("port"), std::string("2240"));
    QCOMPARE(s.Get("name"), std::string("ann"));
    QCOMPARE(s.Get("other"), std::string("2240"));
    QCOMPARE(s.Get("speed"), std::string("2240"));
    // The saved value equal to a default's value is that same item.
    QCOMPARE(s.global->GetItem("port")["global_value"].Get(), shared.Get());
    QVERIFY(s.value->HasItem("unused").IsNull());
    QCOMPARE(s.global->GetItem("port").GetItems("global_value").Size(), size_t(1));
    // Saving again gives the same bytes as a save of the same content.
    QVERIFY(saver.Save(Path("again")));
    QVERIFY(saver.Save(Path("again2")));
    QCOMPARE(ReadAll(Path("again")), ReadAll(Path("again2")));
}

void tst_DataSaver::noFileTellsHandlersAtOnce()
{
    StoreGuard store;
    Settings s;
    s.Set("port", "2235");
    DataSaver saver;
    Loaded first, second;
    saver.AddDataLoadedEventHandler(&first);
    saver.AddDataLoadedEventHandler(&second);
    saver.AddDataLoadedEventHandler(&first);
    saver.Load(Path("absent"));
    QCOMPARE(first.calls, 1);
    QCOMPARE(second.calls, 1);
    QCOMPARE(s.Get("port"), std::string("2235"));
}

void tst_DataSaver::truncatedFileIsMovedAside()
{
    // Every cut of a good file fails the same way: the store keeps its defaults, the handlers
    // are told, the caller gets the failure, and the bytes are kept aside for the user.
    QByteArray good;
    {
        StoreGuard store;
        Settings s;
        DataSaver saver;
        s.Register(saver);
        s.Set("port", "2240");
        s.Set("name", "ann");
        QVERIFY(saver.Save(Path("good")));
        good = ReadAll(Path("good"));
    }
    QVERIFY(good.size() > 40);
    for (int cut = 0; cut < good.size(); ++cut) {
        StoreGuard store;
        Settings s;
        DataSaver saver;
        s.Register(saver);
        Loaded loaded;
        saver.AddDataLoadedEventHandler(&loaded);
        s.Set("port", "2235");
        const QString path = Path(QStringLiteral("cut%1").arg(cut));
        WriteAll(path, good.left(cut));
        LogCatcher log;
        QVERIFY_THROWS_EXCEPTION(DataLoadFailure, saver.Load(path));
        QCOMPARE(loaded.calls, 1);
        QCOMPARE(s.Get("port"), std::string("2235"));
        QCOMPARE(s.global->ItemCount(), size_t(1));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(ReadAll(path + QStringLiteral(".unreadable")), good.left(cut));
        QVERIFY(!log.lines.isEmpty());
        // The next save does not touch the bytes set aside.
        QVERIFY(saver.Save(path));
        QCOMPARE(ReadAll(path + QStringLiteral(".unreadable")), good.left(cut));
    }
}

void tst_DataSaver::badLengths_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("negative name length") << Hex("01000000 ffffffff");
    QTest::newRow("name longer than the file") << Hex("01000000 00010000 61");
    QTest::newRow("huge item count") << Hex("01000000 01000000 74 00 ffffff7f 01000000");
    QTest::newRow("negative value length")
        << Hex("01000000 01000000 74 00 01000000 01000000 feffffff 00000000");
    QTest::newRow("huge value length")
        << Hex("01000000 01000000 74 00 01000000 01000000 ffffff7f 00000000");
    QTest::newRow("pairs cut short") << Hex("00000000 02000000 01000000 02000000 01000000");
}

void tst_DataSaver::badLengths()
{
    QFETCH(QByteArray, bytes);
    StoreGuard store;
    d.NewType("t", RootPrimacy, false, true);
    DataSaver saver;
    saver.AddSavedType("t");
    Loaded loaded;
    saver.AddDataLoadedEventHandler(&loaded);
    QVERIFY_THROWS_EXCEPTION(DataLoadFailure, LoadStore(saver, bytes));
    QCOMPARE(d.ItemCount(), size_t(0));
    QCOMPARE(loaded.calls, 1);
    QCOMPARE(ReadAll(Path("store.unreadable")), bytes);
}

void tst_DataSaver::unknownTypeIsSkipped()
{
    StoreGuard store;
    Type* kept = d.NewType("kept", RootPrimacy, false, true);
    kept->RelateToType(kept, Many, Many);
    DataSaver saver;
    saver.AddSavedType("kept");
    // "gone" (ids 1, 2) is not declared; its items and every pair touching them are dropped.
    LoadStore(saver, Hex("02000000"
                         "04000000 676f6e65 00 02000000 01000000 01000000 78"
                         "02000000 01000000 79"
                         "04000000 6b657074 00 02000000 03000000 01000000 61"
                         "04000000 01000000 62"
                         "02000000 01000000 03000000 03000000 04000000"));
    QCOMPARE(d.ItemCount(), size_t(2));
    QVERIFY(kept->HasItem("a").IsConnected(kept->HasItem("b")));
    QVERIFY(QFile::exists(Path("store")));
}

void tst_DataSaver::nullFlagMismatchFails()
{
    StoreGuard store;
    d.NewType("t", RootPrimacy, false, true);
    DataSaver saver;
    saver.AddSavedType("t");
    // "t" is saved as null here, but declared with values.
    QVERIFY_THROWS_EXCEPTION(
        DataLoadFailure,
        LoadStore(saver, Hex("01000000 01000000 74 01 01000000 01000000 00000000")));
    QCOMPARE(d.ItemCount(), size_t(0));
}

void tst_DataSaver::unsavedTypeIsSkipped()
{
    // "held" is declared but not saved: its values may be object addresses, rebuilt at run
    // time, so a file that names it (written by hand, or by a build that saved it) gives none.
    StoreGuard store;
    Type* held = d.NewType("held", RootPrimacy, false, false);
    Type* kept = d.NewType("kept", RootPrimacy, false, true);
    held->RelateToType(kept, Many, Many);
    DataSaver saver;
    saver.AddSavedType("kept");
    LoadStore(saver, Hex("02000000"
                         "04000000 68656c64 00 01000000 01000000 04000000 34303936"
                         "04000000 6b657074 00 01000000 02000000 01000000 61"
                         "01000000 01000000 02000000"));
    QCOMPARE(held->ItemCount(), size_t(0));
    QVERIFY(kept->HasItem("a").IsDisconnectedFromAll());
    QCOMPARE(d.ItemCount(), size_t(1));
}

void tst_DataSaver::pairOfUnrelatedTypesIsDropped()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true);
    Type* b = d.NewType("b", RootPrimacy, false, true);
    Type* c = d.NewType("c", RootPrimacy, false, true);
    a->RelateToType(c, Many, Many);
    DataSaver saver;
    saver.AddSavedType("a");
    saver.AddSavedType("b");
    saver.AddSavedType("c");
    LoadStore(saver, Hex("03000000"
                         "01000000 61 00 01000000 01000000 01000000 78"
                         "01000000 62 00 01000000 02000000 01000000 79"
                         "01000000 63 00 01000000 03000000 01000000 7a"
                         "02000000 01000000 02000000 01000000 03000000"));
    QCOMPARE(d.ItemCount(), size_t(3));
    QVERIFY(a->HasItem("x").IsDisconnectedFromAll() == false);
    QVERIFY(a->HasItem("x").IsConnected(c->HasItem("z")));
    QVERIFY(b->HasItem("y").IsDisconnectedFromAll());
}

void tst_DataSaver::repeatedAndUnorderedIds()
{
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true);
    t->RelateToType(t, Many, Many);
    DataSaver saver;
    saver.AddSavedType("t");
    // Ids 5, 2, 5: the second record of id 5 wins; the pair names them larger first.
    LoadStore(saver, Hex("01000000 01000000 74 00 03000000"
                         "05000000 01000000 78"
                         "02000000 01000000 79"
                         "05000000 01000000 7a"
                         "01000000 05000000 02000000"));
    QCOMPARE(d.ItemCount(), size_t(2));
    QVERIFY(t->HasItem("x").IsNull());
    QVERIFY(t->HasItem("z").IsConnected(t->HasItem("y")));
    // Made in ascending id order.
    QCOMPARE(ItemPtr(g("t").First()).AsString(), std::string("y"));
}

namespace {

// Removes one item the first time a connection is told.
class RemoveOnConnect : public DataHandler
{
public:
    std::string victim;
    Type* type = nullptr;
    int calls = 0;
    void OnConnected(ConnectionInfo)
    {
        if (calls++ == 0)
            type->HasItem(victim).Remove();
    }
};

} // namespace

void tst_DataSaver::handlerRemovesAnItemWhileLoading()
{
    // The loader holds on to the items it made; a handler that removes one of them while the
    // pairs are connected must leave the pairs naming it out, and only those.
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true);
    t->RelateToType(t, Many, Many);
    DataSaver saver;
    saver.AddSavedType("t");
    WriteAll(Path("store"), Hex("01000000 01000000 74 00 05000000"
                                "01000000 01000000 61"
                                "02000000 01000000 62"
                                "03000000 01000000 63"
                                "04000000 01000000 64"
                                "05000000 01000000 65"
                                "04000000"
                                "01000000 02000000"
                                "01000000 03000000"
                                "03000000 04000000"
                                "04000000 05000000"));
    RemoveOnConnect remover;
    remover.type = t;
    remover.victim = "c";
    t->connectedEvent.Add(remover.NewEventHandler(&remover, &RemoveOnConnect::OnConnected));
    saver.Load(Path("store"));
    QCOMPARE(d.ItemCount(), size_t(4));
    QVERIFY(t->HasItem("c").IsNull());
    QVERIFY(t->HasItem("a").IsConnected(t->HasItem("b")));
    QCOMPARE(t->HasItem("a")->ConnectionCount(), size_t(1));
    QVERIFY(t->HasItem("d").IsConnected(t->HasItem("e")));
    QCOMPARE(t->HasItem("d")->ConnectionCount(), size_t(1));
    // a+b, then d+e, each told once per side; the pairs with c were never told.
    QCOMPARE(remover.calls, 4);
}

QTEST_GUILESS_MAIN(tst_DataSaver)
#include "tst_datasaver.moc"
