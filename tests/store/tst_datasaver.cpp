// The store file: its bytes, saving without ever losing the previous file, loading and merging,
// and what happens to a file that cannot be read or was damaged.

#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Pages.h"
#include "support/StoreGuard.h"

#include <QtTest>

#include <cctype>
#include <csignal>
#include <map>
#include <random>
#include <sys/resource.h>
#include <zlib.h>

namespace {

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// What a save writes after the layout: the marker and the layout's CRC-32, little-endian.
constexpr int kTrailerSize = 12;

QByteArray Sealed(const QByteArray& layout)
{
    char crc[4];
    qToLittleEndian<quint32>(crc32(0, reinterpret_cast<const Bytef*>(layout.constData()),
                                   static_cast<uInt>(layout.size())),
                             crc);
    return layout + "QVCRC32:" + QByteArray(crc, 4);
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
        global = d.NewType("global", RootPrimacy, false, true, ValueKind::Utf8);
        value = d.NewType("global_value", ValuePrimacy, false, true, ValueKind::Utf8);
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

// A store with the settings shape, "port" at its default, the saver of it, and the loads told.
struct SettingsFile
{
    SettingsFile()
    {
        s.Set("port", "2235");
        s.Register(saver);
        saver.AddDataLoadedEventHandler(&loaded);
    }
    StoreGuard store;
    Settings s;
    DataSaver saver;
    Loaded loaded;
};

class LogCatcher
{
public:
    LogCatcher()
    {
        m_connection = QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                                        [this](const QString& category, const QString& line) {
                                            lines << category + QStringLiteral(": ") + line;
                                        });
    }
    ~LogCatcher() { QObject::disconnect(m_connection); }
    QStringList lines;

private:
    QMetaObject::Connection m_connection;
};

// A store of a few thousand items in the shapes the client saves: settings, users in groups and
// linked to each other, valueless marks on some users. "port" has its default, written before
// loading as the client does.
struct Sample : Settings
{
    explicit Sample(DataSaver& saver)
    {
        Type* user = d.NewType("user", RootPrimacy, false, true, ValueKind::Utf8);
        user->RelateToType(d.NewType("user_group", RootPrimacy, false, true, ValueKind::Utf8), Many,
                           Many);
        user->RelateToType(user, Many, Many);
        user->RelateToType(d.NewType("is_ignored", ReachablePrimacy, true, false, ValueKind::None),
                           One, One);
        Register(saver);
        for (const char* type : {"user", "user_group", "is_ignored"})
            saver.AddSavedType(type);
        Set("port", "2235");
    }
    // Returns the number of connections made, each a pair in the file.
    int Fill(int users)
    {
        Set("port", "2240");
        Set("name", "ann");
        auto user = [](int k) { return d.GetType("user")->GetItem("user" + std::to_string(k)); };
        for (int k = 0; k < users; ++k) {
            user(k) += d.GetType("user_group")->GetItem("group" + std::to_string(k % 20));
            if (k % 7 == 0)
                user(k) += d.GetType("is_ignored")->NewItem();
            if (k > 0)
                user(k) += user(k / 2);
        }
        return 2 + users + (users + 6) / 7 + users - 1;
    }
};

// The file a save of the sample writes.
QByteArray SavedSample(int users, int* pairs = nullptr)
{
    StoreGuard store;
    DataSaver saver;
    Sample s(saver);
    const int made = s.Fill(users);
    if (pairs)
        *pairs = made;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("store"));
    return saver.Save(path) ? ReadAll(path) : QByteArray();
}

// How many item records a layout holds, all its types taken together.
int ItemsIn(const QByteArray& layout)
{
    const char* at = layout.constData();
    auto next = [&at] {
        const qint32 value = qFromLittleEndian<qint32>(at);
        at += 4;
        return value;
    };
    int items = 0;
    for (qint32 types = next(); types > 0; --types) {
        at += next();
        const bool isNull = *at++ == 1;
        const qint32 count = next();
        for (qint32 k = 0; k < count; ++k) {
            next();
            if (!isNull)
                at += next();
        }
        items += count;
    }
    return items;
}

// The store file of a small share, written out by hand so that it can hold what no save
// writes: two partners on a "one" end, ids in any order, a NUL in a value, a type this build
// does not save. Folders hold files; a file has one folder, one size and maybe the one mark.
struct ShareFile
{
    struct Entry
    {
        int id;
        std::string type;
        std::string value;
    };
    QByteArray bytes;
    std::vector<Entry> entries;             // in file order
    std::vector<std::pair<int, int>> pairs; // by id, as written

    explicit ShareFile(const QString& layout)
    {
        // Values short enough to be held inside an item and longer ones, 15 and 16 bytes the
        // edge between the two.
        std::vector<std::pair<std::string, std::string>> items = {
            {"folder", "/music/collected works"},
            {"folder", "/films/15 bytes"},
            {"file", "a.mp3"},
            {"file", "b.mp3"},
            {"file", "c is sixteen.avi"},
            {"size", "100"},
            {"size", "200"},
            {"size", "0"},
            {"mark", ""}};
        std::vector<std::pair<int, int>> links = {{0, 2}, {0, 3}, {1, 4}, {1, 3}, {2, 5},
                                                  {3, 5}, {3, 6}, {4, 6}, {2, 8}, {4, 8}};
        if (layout == QLatin1String("a value given twice")) {
            // A second b.mp3 after c, marked: the load must take it for the first.
            items.insert(items.begin() + 5, {"file", "b.mp3"});
            for (auto& link : links) {
                link.first += link.first >= 5;
                link.second += link.second >= 5;
            }
            links.emplace_back(5, 9);
        }
        auto id = [&layout](size_t index) {
            const int k = int(index);
            if (layout == QLatin1String("ids out of order"))
                return 40 - 3 * k;
            if (layout == QLatin1String("an unsaved type in between") && k >= 5)
                return k + 3;
            return k + 1;
        };
        for (size_t k = 0; k < items.size(); ++k)
            entries.push_back(Entry{id(k), items[k].first, items[k].second});
        for (const auto& link : links)
            pairs.emplace_back(id(size_t(link.first)), id(size_t(link.second)));

        auto int32 = [](qint32 v) {
            char b[4];
            qToLittleEndian<qint32>(v, b);
            return QByteArray(b, 4);
        };
        auto string = [&int32](const QByteArray& text) { return int32(int(text.size())) + text; };
        QByteArray types;
        int typeCount = 0;
        auto type = [&](const std::string& name, bool isNull, const QByteArray& records,
                        int count) {
            types += string(QByteArray::fromStdString(name)) + char(isNull ? 1 : 0) + int32(count) +
                     records;
            ++typeCount;
        };
        for (const char* name : {"folder", "file", "size", "mark"}) {
            if (name == std::string("size") &&
                layout == QLatin1String("an unsaved type in between"))
                type("old", false, int32(6) + string("x") + int32(7) + string("y"), 2);
            QByteArray records;
            int count = 0;
            for (const Entry& e : entries) {
                if (e.type != name)
                    continue;
                QByteArray value = QByteArray::fromStdString(e.value);
                if (e.value == "c is sixteen.avi" &&
                    layout == QLatin1String("a value cut at a NUL"))
                    value += QByteArray("\0junk", 5);
                records += int32(e.id) + (e.type == "mark" ? QByteArray() : string(value));
                ++count;
            }
            type(name, name == std::string("mark"), records, count);
        }
        QByteArray pairBytes;
        for (const auto& p : pairs)
            pairBytes += int32(p.first) + int32(p.second);
        if (layout == QLatin1String("an unsaved type in between"))
            pairBytes += int32(3) + int32(6);
        const int pairCount = int(pairs.size()) + (layout == "an unsaved type in between");
        bytes = Sealed(int32(typeCount) + types + int32(pairCount) + pairBytes);
    }

    static void Declare(DataSaver& saver)
    {
        Type* folder = d.NewType("folder", RootPrimacy, false, true, ValueKind::Utf8);
        Type* file = d.NewType("file", ReachablePrimacy, false, true, ValueKind::Utf8);
        folder->RelateToType(file, One, Many);
        file->RelateToType(d.NewType("size", ValuePrimacy, false, true, ValueKind::Utf8), Many,
                           One);
        file->RelateToType(d.NewType("mark", ValuePrimacy, true, true, ValueKind::None), Many, One);
        for (const char* t : {"folder", "file", "size", "mark"})
            saver.AddSavedType(t);
        // A default written before loading, as the client writes its settings: the file's own
        // size replaces it.
        file->GetItem("a.mp3") += d.GetType("size")->GetItem("0");
    }

    // What the load must amount to: the items made in ascending id order, then each pair
    // connected with +=, the smaller id's pairs first.
    void Replay() const
    {
        std::map<int, Item*> byId;
        std::vector<Entry> sorted = entries;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Entry& a, const Entry& b) { return a.id < b.id; });
        for (const Entry& e : sorted) {
            Type* t = d.GetType(e.type);
            byId[e.id] = t->IsNull() ? t->NewItem().Get() : t->NewItem(e.value).Get();
        }
        std::vector<std::pair<int, int>> ordered = pairs;
        std::sort(ordered.begin(), ordered.end());
        for (const auto& p : ordered)
            ItemPtr(byId[p.first]) += ItemPtr(byId[p.second]);
    }
};

QString Named(const Item* item)
{
    return QString::fromStdString(item->GetType()->GetName() + ":" + item->AsString());
}

// Every item, type by type in id order, with its partners.
QStringList Dump()
{
    QStringList out;
    for (Type* t : d.GetTypes()) {
        for (Item* item : t->GetItems()) {
            QStringList partners;
            ConnectionMap links;
            item->GetConnectedItems(links);
            for (const auto& l : links) {
                for (Item* p : l.second)
                    partners << Named(p);
            }
            out << Named(item) + QStringLiteral(" -> ") + partners.join(QStringLiteral(", "));
        }
    }
    return out;
}

// Files with long names, each name keyed by its lower-case form as the shares key theirs: a
// handler makes the key, which the store file does not keep, as each name is made. Whatever a
// load makes while it runs, handlers' items included, takes its slot and value from blocks the
// store keeps; a name, linked to its key already, is lent its links array.
class NameKeys : public DataHandler
{
public:
    explicit NameKeys(DataSaver& saver)
    {
        Type* file = d.NewType("file", RootPrimacy, false, true, ValueKind::Utf8);
        Type* name = d.NewType("name", ReachablePrimacy, false, true, ValueKind::Utf8);
        file->RelateToType(name, Many, One);
        name->RelateToType(d.NewType("key", ValuePrimacy, false, true, ValueKind::Utf8), Many, One);
        saver.AddSavedType("file");
        saver.AddSavedType("name");
        name->itemAddedEvent.Add(NewEventHandler(this, &NameKeys::OnName));
    }
    static std::string Name(int k)
    {
        return "Track " + std::to_string(k) + " - A Name Longer Than Fifteen.mp3";
    }
    void Fill(int files)
    {
        for (int k = 0; k < files; ++k) {
            ItemPtr file = d.GetType("file")->GetItem("/music/" + std::to_string(k));
            file += d.GetType("name")->GetItem(Name(k));
        }
    }

private:
    void OnName(Item* item)
    {
        std::string key = item->AsString();
        for (char& c : key)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        ItemPtr(item) += d.GetType("key")->GetItem(key);
    }
};

// Writes down what one kind of listener is told.
class Recorder : public DataHandler
{
public:
    QStringList events;

    void Listen(const QString& kind)
    {
        Type* file = d.GetType("file");
        if (kind == QLatin1String("a type's connections"))
            file->connectedEvent.Add(NewEventHandler(this, &Recorder::OnConnected));
        else if (kind == QLatin1String("a type's disconnections"))
            d.GetType("size")->disconnectedEvent.Add(
                NewEventHandler(this, &Recorder::OnDisconnected));
        else if (kind == QLatin1String("the store's connections"))
            d.connectedEvent.Add(NewEventHandler(this, &Recorder::OnConnected));
        else if (kind == QLatin1String("a pair of types"))
            d.AddConnectionEventHandler(file, d.GetType("size"),
                                        NewEventHandler(this, &Recorder::OnPair));
        else if (kind == QLatin1String("a path")) {
            auto* root = new PathNode(&d, "folder");
            new PathNode(root, "file", PathConnected);
            d.AddPathEventHandler(root, NewEventHandler(this, &Recorder::OnPath));
        } else if (kind == QLatin1String("items added"))
            file->itemAddedEvent.Add(NewEventHandler(this, &Recorder::OnAdded));
    }

private:
    void OnAdded(Item* item) { events << QStringLiteral("added ") + Named(item); }
    void OnConnected(ConnectionInfo info)
    {
        events << QStringLiteral("connected ") + Named(info.first) + ' ' + Named(info.second);
    }
    void OnDisconnected(ConnectionInfo info)
    {
        events << QStringLiteral("disconnected ") + Named(info.first) + ' ' + Named(info.second);
    }
    void OnPair(ConnectionInfo& info)
    {
        events << QStringLiteral("pair ") + Named(info.first) + ' ' + Named(info.second);
    }
    void OnPath(Item* root) { events << QStringLiteral("path ") + Named(root); }
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
    void leftoverTemporariesAreRemoved();
    void neverWritesThroughALink();
    void percentSignsInPath();
    void failedRenameKeepsPreviousFile();
    void failedCreateKeepsPreviousFile();
    void settingsRoundTrip();
    void noFileTellsHandlersAtOnce();
    void truncatedFileIsMovedAside();
    void malformedLayoutFails_data();
    void malformedLayoutFails();
    void unknownTypeIsSkipped();
    void nullFlagMismatchFails();
    void unsavedTypeIsSkipped();
    void pairOfUnrelatedTypesIsDropped();
    void unorderedIds();
    void handlerRemovesAnItemWhileLoading();
    void damagedFileNeverLoadsSilently_data();
    void damagedFileNeverLoadsSilently();
    void keepsOnePreviousGenerationThroughALink();
    void folderAtStorePath();
    void linksThatNeverEndAtAFile_data();
    void linksThatNeverEndAtAFile();
    void shortWriteSaysWhy();
    void loadTellsWhatConnectingTells_data();
    void loadTellsWhatConnectingTells();
    void loadedItemsMakeWayForNewOnes();
    void loadedValuesStayPut_data();
    void loadedValuesStayPut();
    void bigLoadWithPagesPopulatedOrNot_data();
    void bigLoadWithPagesPopulatedOrNot();
    void itemsHandlersMakeWhileLoading_data();
    void itemsHandlersMakeWhileLoading();

private:
    QString Path(const QString& name) const { return m_dir->filePath(name); }
    // Writes the bytes as the file "store" and loads it.
    void LoadStore(DataSaver& saver, const QByteArray& bytes) const
    {
        WriteAll(Path("store"), bytes);
        saver.Load(Path("store"));
    }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_DataSaver::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_DataSaver::emptyStoreIsEightZeroBytes()
{
    StoreGuard store;
    Settings s;
    s.Set("port", "2235");
    DataSaver saver;
    QVERIFY(saver.Save(Path("store")));
    // The layout, then the trailer: the marker and the CRC-32 of the 8 bytes.
    QCOMPARE(ReadAll(Path("store")).toHex(),
             Hex("00000000 00000000 51564352 4333323a 69df2265").toHex());
    QVERIFY(!QFile::exists(Path("store.1")));
}

void tst_DataSaver::nullTypeLayout()
{
    StoreGuard store;
    Type* x = d.NewType("x", RootPrimacy, true, false, ValueKind::None);
    x->NewItem();
    x->NewItem();
    DataSaver saver;
    saver.AddSavedType("x");
    QVERIFY(saver.Save(Path("store")));
    QCOMPARE(ReadAll(Path("store")).toHex(),
             Sealed(Hex("01000000 01000000 78 01 02000000 01000000 02000000 00000000")).toHex());
}

void tst_DataSaver::pairsOnceAndOnlyBetweenSavedItems()
{
    StoreGuard store;
    Type* a = d.NewType("a", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", RootPrimacy, false, true, ValueKind::Utf8);
    Type* hidden = d.NewType("hidden", RootPrimacy, false, true, ValueKind::Utf8);
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
    QCOMPARE(ReadAll(Path("store")).toHex(),
             Sealed(Hex("02000000"
                        "01000000 61 00 01000000 01000000 01000000 70"
                        "01000000 62 00 01000000 02000000 01000000 71"
                        "01000000 01000000 02000000"))
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
    QCOMPARE(
        ReadAll(Path("store")).toHex(),
        Sealed(Hex("01000000 0c000000 676c6f62616c5f76616c7565 00 00000000 00000000")).toHex());
}

void tst_DataSaver::leftoverTemporariesAreRemoved()
{
    // Runs killed while saving left numbered temporary files, each as large as the store. What a
    // save never makes under such a name (a folder, a link) stays, and so does every other name.
    StoreGuard store;
    DataSaver saver;
    for (const char* name : {"a", "a.3", "a.4", "a.17"})
        WriteAll(Path(name), QByteArray(100000, 'p'));
    for (const char* name : {"a.01", "a.1x", "a.1.2", "a.", "b.5"})
        WriteAll(Path(name), "other");
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("a.1/inside")));
    QVERIFY(QFile::link(Path("elsewhere"), Path("a.2")));
    QVERIFY(saver.Save(Path("a")));
    QCOMPARE(ReadAll(Path("a")), Sealed(QByteArray(8, '\0')));
    QCOMPARE(QDir(m_dir->path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDir::Name)
                 .join(' '),
             QStringLiteral("a a. a.01 a.1 a.1.2 a.1x a.2 a.previous b.5"));
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
    QCOMPARE(ReadAll(Path("a")), Sealed(QByteArray(8, '\0')));
}

void tst_DataSaver::percentSignsInPath()
{
    // A folder whose name looks like a placeholder: every name made from the path stays in it.
    StoreGuard store;
    Settings s;
    DataSaver saver;
    s.Register(saver);
    s.Set("port", "2240");
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("a%1b%2")));
    const QString path = Path(QStringLiteral("a%1b%2/store"));
    WriteAll(path + QStringLiteral(".1"), "left over");
    QVERIFY(saver.Save(path));
    QVERIFY(ReadAll(path).size() > 8);
    QVERIFY(!QFile::exists(path + QStringLiteral(".1")));
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
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("store")));
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
        // Cut just before the trailer, it is a whole file as an older version wrote it
        // (tested with the damages below).
        if (cut == good.size() - kTrailerSize)
            continue;
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

void tst_DataSaver::malformedLayoutFails_data()
{
    // Each of these once loaded as a smaller or different store without a word (more damages
    // of a saved file are below).
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("negative name length") << Hex("01000000 ffffffff");
    QTest::newRow("name longer than the file") << Hex("01000000 00010000 61");
    QTest::newRow("huge item count") << Hex("01000000 01000000 74 00 ffffff7f 01000000");
    QTest::newRow("negative value length")
        << Hex("01000000 01000000 74 00 01000000 01000000 feffffff 00000000");
    QTest::newRow("huge value length")
        << Hex("01000000 01000000 74 00 01000000 01000000 ffffff7f 00000000");
    QTest::newRow("pairs cut short") << Hex("00000000 02000000 01000000 02000000 01000000");
    QTest::newRow("negative item count") << Hex("01000000 01000000 74 00 ffffffff 00000000");
    QTest::newRow("null flag 2") << Hex("01000000 01000000 75 02 00000000 00000000");
    QTest::newRow("a byte after the last pair") << Hex("00000000 00000000 00");
    QTest::newRow("repeated id") << Hex(
        "01000000 01000000 74 00 02000000 01000000 01000000 61 01000000 01000000 62"
        "00000000");
    QTest::newRow("repeated id, once in a type no longer declared")
        << Hex("02000000 04000000 676f6e65 00 01000000 01000000 01000000 78"
               "01000000 74 00 01000000 01000000 01000000 61 00000000");
    QTest::newRow("trailer cut short") << Hex("00000000 00000000 51564352 4333323a 69df22");
}

void tst_DataSaver::malformedLayoutFails()
{
    QFETCH(QByteArray, bytes);
    StoreGuard store;
    d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
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
    Type* kept = d.NewType("kept", RootPrimacy, false, true, ValueKind::Utf8);
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
    d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
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
    Type* held = d.NewType("held", RootPrimacy, false, false, ValueKind::Utf8);
    Type* kept = d.NewType("kept", RootPrimacy, false, true, ValueKind::Utf8);
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
    Type* a = d.NewType("a", RootPrimacy, false, true, ValueKind::Utf8);
    Type* b = d.NewType("b", RootPrimacy, false, true, ValueKind::Utf8);
    Type* c = d.NewType("c", RootPrimacy, false, true, ValueKind::Utf8);
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

void tst_DataSaver::unorderedIds()
{
    // A file written by hand need not number its items in order, nor name the smaller id of a
    // pair first.
    StoreGuard store;
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
    t->RelateToType(t, Many, Many);
    DataSaver saver;
    saver.AddSavedType("t");
    LoadStore(saver, Hex("01000000 01000000 74 00 03000000"
                         "05000000 01000000 78"
                         "02000000 01000000 79"
                         "07000000 01000000 7a"
                         "02000000 05000000 02000000 07000000 05000000"));
    QCOMPARE(d.ItemCount(), size_t(3));
    QVERIFY(t->HasItem("x").IsConnected(t->HasItem("y")));
    QVERIFY(t->HasItem("x").IsConnected(t->HasItem("z")));
    QVERIFY(t->HasItem("y").IsConnected(t->HasItem("z")) == false);
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
    Type* t = d.NewType("t", RootPrimacy, false, true, ValueKind::Utf8);
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

void tst_DataSaver::damagedFileNeverLoadsSilently_data()
{
    // file: what is at the store path; previous: what is at "<path>.previous" (empty: nothing);
    // result: what a save writes after the load (empty: the defaults alone are left).
    // Each file is loaded read whole, then parsed as it is read.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("previous");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<bool>("streamed");
    struct Row
    {
        QByteArray name;
        QByteArray file;
        QByteArray previous;
        QByteArray result;
    };
    std::vector<Row> rows;
    int pairs = 0;
    const QByteArray good = SavedSample(2500, &pairs);
    const QByteArray older = SavedSample(1000);
    const QByteArray layout = good.left(good.size() - kTrailerSize);
    const int pairCountAt = layout.size() - 4 - 8 * pairs;
    QCOMPARE(qFromLittleEndian<qint32>(layout.constData() + pairCountAt), pairs);
    QVERIFY(pairCountAt > 3 * 4096);
    const QByteArray none;

    auto setInt = [](QByteArray bytes, int at, qint32 value) {
        qToLittleEndian<qint32>(value, bytes.data() + at);
        return bytes;
    };
    auto addInt = [&setInt](const QByteArray& bytes, int at, qint32 delta) {
        return setInt(bytes, at, qFromLittleEndian<qint32>(bytes.constData() + at) + delta);
    };
    auto zeroBlock = [](QByteArray bytes, int at) {
        std::fill(bytes.begin() + at, bytes.begin() + at + 4096, '\0');
        return bytes;
    };
    // Each damage as it hits a saved file, and on a file without a trailer, where only the
    // layout's own checks can find it.
    auto both = [&](const char* name, auto damage) {
        rows.push_back({name, damage(good), none, none});
        rows.push_back({QByteArray(name) + ", no trailer", damage(layout), none, none});
    };

    rows.push_back({"as saved", good, none, good});
    rows.push_back({"as saved, no trailer", layout, none, good});
    rows.push_back({"as saved, a damaged previous", good, older.left(100), good});
    both("type count negative", [&](QByteArray b) { return setInt(b, 0, qint32(0x80000003)); });
    both("type count one too small", [&](QByteArray b) { return addInt(b, 0, -1); });
    both("pair count negative", [&](QByteArray b) { return addInt(b, pairCountAt, INT_MIN); });
    both("pair count 0", [&](QByteArray b) { return setInt(b, pairCountAt, 0); });
    both("a pair names a missing id",
         [&](QByteArray b) { return addInt(b, layout.size() - 4, 9999); });
    // The ids that bound the items a save numbers 1, 2, ...: 0, and the one after the last.
    const int items = ItemsIn(layout);
    both("a pair names the id 0", [&](QByteArray b) { return setInt(b, layout.size() - 8, 0); });
    both("a pair names the id after the last",
         [&](QByteArray b) { return setInt(b, layout.size() - 4, items + 1); });
    both("zero-filled", [](QByteArray b) { return QByteArray(b.size(), '\0'); });
    both("a zeroed block mid-file", [&](QByteArray b) { return zeroBlock(b, 4096); });
    both("a zeroed block among the pairs",
         [&](QByteArray b) { return zeroBlock(b, pairCountAt + 4096); });
    rows.push_back(
        {"pair count 0, trailer made anew", Sealed(setInt(layout, pairCountAt, 0)), none, none});
    rows.push_back({"a byte after the trailer", good + '\0', none, none});
    rows.push_back({"trailer marker damaged", addInt(good, layout.size(), 1), none, none});
    rows.push_back({"checksum damaged", addInt(good, good.size() - 4, 1), none, none});
    rows.push_back({"zero-filled, previous loads", QByteArray(good.size(), '\0'), older, older});
    rows.push_back({"pair count 0, previous loads", setInt(good, pairCountAt, 0), older, older});
    rows.push_back({"previous damaged too", good.left(200), older.left(100), none});

    // Runs of 1 to 16 bytes changed anywhere, and as many bytes scattered, half of them with a
    // good previous file beside.
    for (unsigned seed = 1; seed <= 50; ++seed) {
        std::mt19937 rng(seed);
        QByteArray bytes = good;
        const int count = 1 + int(rng() % 16);
        const bool run = seed % 2 == 0;
        const int start = int(rng() % unsigned(bytes.size() - count));
        for (int k = 0; k < count; ++k) {
            const int at = run ? start + k : int(rng() % unsigned(bytes.size()));
            bytes[at] = char(bytes[at] ^ char(1 + rng() % 255));
        }
        const bool withPrevious = seed % 4 < 2;
        rows.push_back({QByteArray::number(count) + " bytes " + (run ? "in a run" : "scattered") +
                            " at " + QByteArray::number(start),
                        bytes, withPrevious ? older : none, withPrevious ? older : none});
    }
    for (const Row& row : rows) {
        for (bool streamed : {false, true}) {
            QTest::addRow("%s%s", row.name.constData(), streamed ? ", parsed as read" : "")
                << row.file << row.previous << row.result << streamed;
        }
    }
}

void tst_DataSaver::damagedFileNeverLoadsSilently()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, previous);
    QFETCH(QByteArray, result);
    QFETCH(bool, streamed);
    const size_t before = DataSaver::SetStreamedReadMin(streamed ? 0 : SIZE_MAX);
    const auto restore = qScopeGuard([before] { DataSaver::SetStreamedReadMin(before); });
    const QString path = Path("store");
    WriteAll(path, file);
    if (!previous.isEmpty())
        WriteAll(path + QStringLiteral(".previous"), previous);
    StoreGuard store;
    DataSaver saver;
    Sample s(saver);
    Loaded loaded;
    saver.AddDataLoadedEventHandler(&loaded);
    LogCatcher log;
    bool failed = false;
    try {
        saver.Load(path);
    } catch (const DataLoadFailure&) {
        failed = true;
    }
    QCOMPARE(loaded.calls, 1);
    QCOMPARE(failed, result.isEmpty());
    const bool fileLoaded = !result.isEmpty() && result != previous;
    // Every file that did not load is kept aside, byte for byte, and the log says what was used.
    QCOMPARE(ReadAll(path + QStringLiteral(".unreadable")),
             fileLoaded ? QByteArray("<missing>") : file);
    if (failed && !previous.isEmpty())
        QCOMPARE(ReadAll(path + QStringLiteral(".previous.unreadable")), previous);
    if (!fileLoaded) {
        const QString used = failed ? QStringLiteral("default") : path + ".previous";
        QVERIFY2(!log.lines.filter(used).isEmpty(), qPrintable(log.lines.join('\n')));
    }
    if (failed) {
        QCOMPARE(d.ItemCount(), size_t(2));
        QCOMPARE(s.Get("port"), std::string("2235"));
    } else {
        QVERIFY(saver.Save(Path("again")));
        QCOMPARE(ReadAll(Path("again")), result);
    }
}

void tst_DataSaver::keepsOnePreviousGenerationThroughALink()
{
    // The links are the user's: they stay, and the file they lead to is saved and loaded, with
    // the file each save replaced kept beside it.
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("real")));
    QVERIFY(QFile::link(QStringLiteral("real/store"), Path("link")));
    QVERIFY(QFile::link(Path("link"), Path("chain")));
    StoreGuard store;
    Settings s;
    DataSaver saver;
    s.Register(saver);
    QList<QByteArray> saves = {QByteArray("<missing>")};
    for (const char* port : {"2240", "2241", "2242"}) {
        s.Set("port", port);
        QVERIFY(saver.Save(Path("chain")));
        saves << ReadAll(Path("real/store"));
        QVERIFY(saves.last().contains(port));
        QCOMPARE(ReadAll(Path("real/store.previous")), saves[saves.size() - 2]);
    }
    QVERIFY(QFileInfo(Path("link")).isSymLink() && QFileInfo(Path("chain")).isSymLink());
    QCOMPARE(QDir(Path("real")).entryList(QDir::Files).join(' '),
             QStringLiteral("store store.previous"));

    // A damaged file behind the links is moved aside where it is, and the previous one loads.
    WriteAll(Path("real/store"), "damaged");
    s.Set("port", "2235");
    saver.Load(Path("chain"));
    QCOMPARE(s.Get("port"), std::string("2241"));
    QCOMPARE(ReadAll(Path("real/store.unreadable")), QByteArray("damaged"));
    QVERIFY(QFileInfo(Path("link")).isSymLink());
}

void tst_DataSaver::folderAtStorePath()
{
    // No store file here: the folder and what is in it stay where they are.
    SettingsFile file;
    auto& [store, s, saver, loaded] = file;
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("store")));
    WriteAll(Path("store/inside"), "kept");
    LogCatcher log;
    saver.Load(Path("store"));
    QCOMPARE(loaded.calls, 1);
    QCOMPARE(s.Get("port"), std::string("2235"));
    QCOMPARE(ReadAll(Path("store/inside")), QByteArray("kept"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList(QStringLiteral("store")));
    QCOMPARE(log.lines.filter(QStringLiteral("is a folder")).size(), 1);
}

void tst_DataSaver::linksThatNeverEndAtAFile_data()
{
    // Links as "name>target", made in the test's folder in this order, and what the failure says.
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("loadSaysWhy"); // a missing file is no news
    const QString loop = QStringLiteral("is a loop of symbolic links");
    QTest::newRow("three links through another folder")
        << QStringList({"store>other/a", "other/a>../b", "b>store"}) << loop << true;
    QTest::newRow("two links") << QStringList({"store>b", "b>store"}) << loop << true;
    QTest::newRow("a link to itself") << QStringList({"store>store"}) << loop << true;
    QTest::newRow("a loop in a folder on the way")
        << QStringList({"store>other/x/store", "other/x>x"})
        << QStringLiteral("goes through a loop of symbolic links") << true;
    QStringList chain = {"store>1"};
    for (int i = 1; i <= 40; ++i)
        chain << QStringLiteral("%1>%2").arg(i).arg(i + 1);
    QTest::newRow("41 links in a row")
        << chain << QStringLiteral("leads through more than 40 symbolic") << true;
    // For comparison: what a link to a missing folder says.
    QTest::newRow("a link into a missing folder")
        << QStringList({"store>missing/store"})
        << QStringLiteral("cannot create a temporary file beside") << false;
}

void tst_DataSaver::linksThatNeverEndAtAFile()
{
    QFETCH(QStringList, links);
    QFETCH(QString, reason);
    QFETCH(bool, loadSaysWhy);
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("other")));
    for (const QString& link : links) {
        const QStringList parts = link.split(QLatin1Char('>'));
        QVERIFY(QFile::link(parts[1], Path(parts[0])));
    }
    // Every entry with what a link holds, folders included.
    auto listing = [this] {
        QStringList entries;
        QDirIterator it(m_dir->path(),
                        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries << info.filePath() + QStringLiteral(" -> ") + info.symLinkTarget();
        }
        entries.sort();
        return entries;
    };
    const QStringList before = listing();

    SettingsFile file;
    auto& [store, s, saver, loaded] = file;
    LogCatcher log;
    QVERIFY(!saver.Save(Path("store")));
    QVERIFY2(saver.SaveFailure().contains(reason), qPrintable(saver.SaveFailure()));
    QCOMPARE(log.lines.size(), 1);
    QVERIFY2(log.lines[0].contains(reason), qPrintable(log.lines[0]));
    // Nothing written, through a link or in place of one.
    QCOMPARE(listing(), before);

    log.lines.clear();
    s.Set("port", "2240");
    saver.Load(Path("store"));
    QCOMPARE(loaded.calls, 1);
    QCOMPARE(s.Get("port"), std::string("2240"));
    QCOMPARE(listing(), before);
    QCOMPARE(log.lines.size(), loadSaysWhy ? 1 : 0);
    if (loadSaysWhy)
        QVERIFY2(log.lines[0].contains(reason), qPrintable(log.lines[0]));
}

void tst_DataSaver::shortWriteSaysWhy()
{
    // A file size limit cuts the save short as a full disk does; with SIGXFSZ ignored, the
    // write past it fails with EFBIG instead of ending the process.
    StoreGuard store;
    DataSaver saver;
    Sample s(saver);
    s.Fill(3000);
    WriteAll(Path("store"), "previous");
    LogCatcher log;
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 16384;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool saved = saver.Save(Path("store"));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
    QVERIFY(!saved);
    QCOMPARE(ReadAll(Path("store")), QByteArray("previous"));
    QVERIFY(!QFile::exists(Path("store.1")));
    const QStringList failed = log.lines.filter(QStringLiteral("failed"));
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed[0].contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
             qPrintable(failed[0]));
}

void tst_DataSaver::loadTellsWhatConnectingTells_data()
{
    // However a file is laid out and whoever listens, a load must leave the store, and tell
    // the listeners, exactly what making its items and connecting its pairs one by one would.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("listener");
    for (const char* layout : {"as a save lays it out", "ids out of order", "a value cut at a NUL",
                               "an unsaved type in between", "a value given twice"}) {
        for (const char* listener :
             {"nobody", "a type's connections", "a type's disconnections",
              "the store's connections", "a pair of types", "a path", "items added"})
            QTest::addRow("%s, %s", layout, listener) << QString(layout) << QString(listener);
    }
}

void tst_DataSaver::loadTellsWhatConnectingTells()
{
    QFETCH(QString, layout);
    QFETCH(QString, listener);
    const ShareFile file(layout);
    QStringList expectedEvents;
    QStringList expected;
    {
        StoreGuard store;
        DataSaver saver;
        ShareFile::Declare(saver);
        Recorder recorder;
        recorder.Listen(listener);
        file.Replay();
        expectedEvents = recorder.events;
        expected = Dump();
    }
    StoreGuard store;
    DataSaver saver;
    ShareFile::Declare(saver);
    Recorder recorder;
    recorder.Listen(listener);
    LoadStore(saver, file.bytes);
    QCOMPARE(recorder.events, expectedEvents);
    QCOMPARE(Dump(), expected);
    // Two sizes were given to b.mp3; the later pair won.
    QCOMPARE(d.GetType("file")->HasItem("b.mp3")["size"].AsString(),
             layout == QLatin1String("ids out of order") ? std::string("100") : std::string("200"));
}

void tst_DataSaver::loadedItemsMakeWayForNewOnes()
{
    // A load makes its items in blocks of its own and gives their links arrays cut from one
    // block. Removed, they make room for new items; connected further, their links move to
    // arrays of their own. The store stays whole through it all and saves what it holds.
    const QByteArray file = SavedSample(400);
    StoreGuard store;
    DataSaver saver;
    Sample s(saver);
    LoadStore(saver, file);
    Type* user = d.GetType("user");
    Type* group = d.GetType("user_group");
    const size_t users = user->ItemCount();
    QCOMPARE(users, size_t(400));
    for (int k = 1; k < 400; k += 2)
        user->HasItem("user" + std::to_string(k)).Remove();
    QCOMPARE(user->ItemCount(), size_t(200));
    ItemPtr hub = user->HasItem("user2");
    const size_t had = hub->ConnectionCount(user);
    QCOMPARE(had, size_t(1)); // user4, whose half it is; user1 and user5 are gone
    for (int k = 0; k < 300; ++k) {
        ItemPtr fresh = user->GetItem("new" + std::to_string(k));
        hub += fresh;
        fresh += group->GetItem("group" + std::to_string(k % 3));
    }
    QCOMPARE(user->ItemCount(), size_t(500));
    QCOMPARE(hub->ConnectionCount(user), had + 300);
    QCOMPARE(user->HasItem("new299")["user_group"].AsString(), std::string("group2"));
    for (int k = 0; k < 300; k += 3)
        hub -= user->HasItem("new" + std::to_string(k));
    QCOMPARE(hub->ConnectionCount(user), had + 200);
    d.RemoveDisconnectedItems();
    const QStringList before = Dump();

    QVERIFY(saver.Save(Path("again")));
    StoreGuard fresh;
    DataSaver reloader;
    Sample t(reloader);
    reloader.Load(Path("again"));
    d.RemoveDisconnectedItems();
    QCOMPARE(Dump(), before);
}

void tst_DataSaver::loadedValuesStayPut_data()
{
    // Values up to 15 bytes are held inside the items; longer ones stay in the file's bytes,
    // moved up to their front, and the links arrays are cut from what is left behind them, or
    // from a block of their own when that is too small (long values, several partner types).
    QTest::addColumn<int>("length");
    for (int length : {10, 15, 16, 200})
        QTest::addRow("%d bytes", length) << length;
}

void tst_DataSaver::loadedValuesStayPut()
{
    QFETCH(int, length);
    auto declare = [](DataSaver& saver) {
        Type* track = d.NewType("track", RootPrimacy, false, true, ValueKind::Utf8);
        for (const char* name : {"album", "artist", "genre"}) {
            track->RelateToType(d.NewType(name, ReachablePrimacy, false, true, ValueKind::Utf8),
                                Many, One);
            saver.AddSavedType(name);
        }
        saver.AddSavedType("track");
    };
    auto text = [length](const char* what, int k) {
        std::string s = what + std::to_string(k);
        s.resize(size_t(length), '.');
        return s;
    };
    auto fill = [&](const char* what, int tracks) {
        for (int k = 0; k < tracks; ++k) {
            ItemPtr track = d.GetType("track")->GetItem(text(what, k));
            track += d.GetType("album")->GetItem(text("album", k % 7));
            track += d.GetType("artist")->GetItem(text("artist", k % 5));
            track += d.GetType("genre")->GetItem(text("genre", k % 3));
        }
    };
    const int tracks = 300;
    for (const char* name : {"first", "second"}) {
        StoreGuard store;
        DataSaver saver;
        declare(saver);
        fill(name, tracks);
        QVERIFY(saver.Save(Path(name)));
    }

    StoreGuard store;
    DataSaver saver;
    declare(saver);
    saver.Load(Path("first"));
    Type* track = d.GetType("track");
    QCOMPARE(track->ItemCount(), size_t(tracks));
    // What callers keep: the reference and the bytes it shows.
    struct Kept
    {
        Item* item;
        const ItemText* value;
        const char* bytes;
        std::string text;
    };
    std::vector<Kept> kept;
    for (Item* item : d.GetType("album")->GetItems())
        kept.push_back({item, &item->AsString(), item->AsCStr(), item->AsString()});
    for (int k = 0; k < tracks; ++k) {
        Item* item = track->HasItem(text("first", k));
        QVERIFY(item);
        QCOMPARE(item->HasItem("genre")->AsString().str(), text("genre", k % 3));
        if (k % 2 == 0)
            kept.push_back({item, &item->AsString(), item->AsCStr(), item->AsString()});
        else
            item->Remove();
    }
    // New items take the freed slots, links outgrow their arrays, a second load adds blocks.
    for (int k = 0; k < 2 * tracks; ++k) {
        ItemPtr fresh = track->GetItem(text("new", k));
        fresh += d.GetType("album")->GetItem(text("album", k % 9));
    }
    saver.Load(Path("second"));
    QCOMPARE(track->ItemCount(), size_t(tracks / 2 + 3 * tracks));
    for (const Kept& k : kept) {
        QCOMPARE(&k.item->AsString(), k.value);
        QCOMPARE(k.item->AsCStr(), k.bytes);
        QCOMPARE(k.value->str(), k.text);
        QCOMPARE(k.item->GetType()->HasItem(k.text).Get(), k.item);
    }
    size_t onThird = 0;
    for (int k = 0; k < tracks; ++k)
        onThird +=
            (k % 2 == 0 && k % 7 == 3) + (k % 7 == 3) + (k % 9 == 3) + ((k + tracks) % 9 == 3);
    QCOMPARE(d.GetType("album")->HasItem(text("album", 3))->ConnectionCount(track), onThird);
}

void tst_DataSaver::bigLoadWithPagesPopulatedOrNot_data()
{
    // Big enough that the file's bytes, the item slots and the item table are blocks whose
    // pages a worker faults in while the load fills them; where the kernel cannot (here: told
    // not to), they fault in as they are written. Either way the store is the same.
    // Parsed as it is read, or read whole first.
    QTest::addColumn<bool>("populate");
    QTest::addColumn<bool>("streamed");
    QTest::newRow("populated") << true << false;
    QTest::newRow("faulted in") << false << false;
    QTest::newRow("populated, parsed as read") << true << true;
    QTest::newRow("faulted in, parsed as read") << false << true;
}

void tst_DataSaver::bigLoadWithPagesPopulatedOrNot()
{
    QFETCH(bool, populate);
    QFETCH(bool, streamed);
    static const QByteArray file = SavedSample(140000);
    QVERIFY(file.size() > int(storeimpl::kPopulateMin));
    const bool before = storeimpl::SetPagePopulation(populate);
    const auto restore = qScopeGuard([before] { storeimpl::SetPagePopulation(before); });
    const size_t streamMin = DataSaver::SetStreamedReadMin(streamed ? 0 : SIZE_MAX);
    const auto restoreStream =
        qScopeGuard([streamMin] { DataSaver::SetStreamedReadMin(streamMin); });
    StoreGuard store;
    DataSaver saver;
    Sample s(saver);
    LoadStore(saver, file);
    QCOMPARE(d.GetType("user")->ItemCount(), size_t(140000));
    QVERIFY(saver.Save(Path("again")));
    QVERIFY(ReadAll(Path("again")) == file);
}

void tst_DataSaver::itemsHandlersMakeWhileLoading_data()
{
    // Few, and more than the load's own block of slots and a page of the file's bytes hold.
    QTest::addColumn<int>("files");
    QTest::newRow("a few") << 12;
    QTest::newRow("many") << 20000;
}

void tst_DataSaver::itemsHandlersMakeWhileLoading()
{
    // The load leaves what making the files and names one by one leaves, the handler's keys
    // included; then the store goes on as any other: keys removed and made again, names linked
    // further (a lent array outgrown), new names with keys of their own, a save and a load.
    QFETCH(int, files);
    QStringList made;
    {
        StoreGuard store;
        DataSaver saver;
        NameKeys keys(saver);
        keys.Fill(files);
        made = Dump();
        QVERIFY(saver.Save(Path("store")));
    }
    StoreGuard store;
    DataSaver saver;
    NameKeys keys(saver);
    saver.Load(Path("store"));
    QCOMPARE(Dump(), made);

    Type* file = d.GetType("file");
    Type* name = d.GetType("name");
    Type* key = d.GetType("key");
    for (int k = 0; k < files; k += 3)
        ItemPtr(name->HasItem(NameKeys::Name(k)))["key"].Remove();
    for (int k = 0; k < files; k += 3) {
        ItemPtr n = name->HasItem(NameKeys::Name(k));
        std::string lower = NameKeys::Name(k);
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        n += key->GetItem(lower);
    }
    for (int k = 1; k < files; k += 4) {
        for (int extra = 0; extra < 5; ++extra) {
            ItemPtr other =
                file->GetItem("/copy/" + std::to_string(k) + "/" + std::to_string(extra));
            other += name->HasItem(NameKeys::Name(k));
        }
    }
    keys.Fill(files + files / 2);
    QCOMPARE(key->ItemCount(), size_t(files + files / 2));
    QCOMPARE(ItemPtr(name->HasItem(NameKeys::Name(1))).GetItems("file").Size(),
             size_t(files > 1 ? 6 : 1));
    // Keys made again have later ids here than after a load: compared as sets of lines.
    QStringList before = Dump();
    before.sort();
    QVERIFY(saver.Save(Path("again")));
    StoreGuard fresh;
    DataSaver reloader;
    NameKeys reloaded(reloader);
    reloader.Load(Path("again"));
    QStringList after = Dump();
    after.sort();
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(tst_DataSaver)
#include "tst_datasaver.moc"
