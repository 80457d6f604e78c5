// Settings in the store: reading and writing persistent and transient keys, shared value items,
// what the store file keeps, and watching a key.

#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A fresh store with the settings types, and the store file handler that saves them.
struct SettingsStore
{
    SettingsStore() { Settings::CreateData(saver); }

    StoreGuard store;
    DataSaver saver;
};

size_t Count(const char* type)
{
    return d.GetType(type)->GetItems().size();
}

ItemPtr ValueItem(const char* text)
{
    return d.GetType(SettingsTypes::GlobalValue)->HasItem(Value(text));
}

// Counts what a watch reports, and the value the key held at that moment.
class Watcher : public DataHandler
{
public:
    explicit Watcher(SettingKey key) { Settings::Watch(key, this, &Watcher::OnChanged); }

    QStringList seen;

private:
    void OnChanged(Item* key)
    {
        seen << QString::fromStdString(ItemPtr(key)["global_value"].AsString());
    }
};

} // namespace

class tst_Settings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsWhatWasWritten_data();
    void readsWhatWasWritten();
    void keysShareValueItems();
    void lookingUpMakesOnlyTheKey();
    void storeFileKeepsPersistentKeysOnly();
    void watchFiresOnNewValuesOnly();
};

void tst_Settings::readsWhatWasWritten_data()
{
    // write: "text:T", "number:N", "yes", "no", "removed" or nothing; text: what a read gives,
    // null where the key has no value.
    QTest::addColumn<bool>("transient");
    QTest::addColumn<QString>("write");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("number");
    for (const bool transient : {false, true}) {
        const auto row = [transient](const char* name, const char* write, const char* text,
                                     qint64 number = 0) {
            QTest::addRow("%s, %s", transient ? "transient" : "persistent", name)
                << transient << QString(write) << QString(text) << number;
        };
        row("nothing written", "", nullptr);
        row("text", "text:/srv/in", "/srv/in");
        row("empty text is a value", "text:", "");
        row("decimal", "number:2235", "2235", 2235);
        row("beyond 32 bits", "number:9000000000", "9000000000", 9000000000);
        row("yes", "yes", "yes");
        row("no", "no", "no");
        // The "yes" test takes the whole word as written.
        row("capitalised yes", "text:Yes", "Yes");
        row("yes and a blank", "text:yes ", "yes ");
        row("removed", "removed", nullptr);
    }
}

void tst_Settings::readsWhatWasWritten()
{
    QFETCH(bool, transient);
    QFETCH(QString, write);
    QFETCH(QString, text);
    QFETCH(qint64, number);
    SettingsStore store;
    const SettingKey key{"upload_slots", ValueKind::Number, transient};
    if (write.startsWith("text:")) {
        Settings::Set(key, write.mid(5).toStdString());
    } else if (write.startsWith("number:")) {
        Settings::SetNumber(key, write.mid(7).toLongLong());
    } else if (write == "yes" || write == "no") {
        Settings::SetYes(key, write == "yes");
    } else if (write == "removed") {
        Settings::Set(key, "5");
        Settings::Remove(key);
    }
    QCOMPARE(QString::fromStdString(Settings::Text(key)), text);
    QCOMPARE(Settings::Int64(key), number);
    if (number == qint64(qint32(number)))
        QCOMPARE(Settings::Int(key), qint32(number));
    QCOMPARE(Settings::HasValue(key), !text.isNull());
    QCOMPARE(Settings::IsYes(key), text == "yes");
    QCOMPARE(Settings::Is(key, text.toUtf8().constData()), !text.isNull());
    // The key lives in its own type; the other one never sees it.
    const char* own = transient ? SettingsTypes::VGlobal : SettingsTypes::Global;
    const char* other = transient ? SettingsTypes::Global : SettingsTypes::VGlobal;
    QCOMPARE(ItemPtr(d.GetType(own)->HasItem(Value("upload_slots")))["global_value"].AsString(),
             text.toStdString());
    QVERIFY(d.GetType(other)->HasItem(Value("upload_slots")).IsNull());
}

void tst_Settings::keysShareValueItems()
{
    SettingsStore store;
    Settings::SetYes(SettingKeys::MinimizeToTray, true);
    Settings::SetYes(SettingKeys::ExpandNewShares, true);
    Settings::SetYes(SettingKeys::WishListSearchIndex, true);
    const ItemPtr yes = ValueItem("yes");
    QVERIFY(!yes.IsNull());
    QCOMPARE(Count(SettingsTypes::GlobalValue), size_t(1));
    QCOMPARE(Settings::Key(SettingKeys::MinimizeToTray)["global_value"].Get(), yes.Get());
    QCOMPARE(Settings::Key(SettingKeys::WishListSearchIndex)["global_value"].Get(), yes.Get());

    // A write links the key to another item; the shared one is never changed in place.
    Settings::SetYes(SettingKeys::MinimizeToTray, false);
    QVERIFY(!Settings::IsYes(SettingKeys::MinimizeToTray));
    QVERIFY(Settings::IsYes(SettingKeys::ExpandNewShares));
    QCOMPARE(ValueItem("yes").Get(), yes.Get());

    d.RemoveDisconnectedItems();
    QVERIFY(!ValueItem("yes").IsNull());
    Settings::Set(SettingKeys::ExpandNewShares, "later");
    Settings::Remove(SettingKeys::WishListSearchIndex);
    // Still there until the sweep: nothing but the sweep removes a value item.
    QVERIFY(!ValueItem("yes").IsNull());
    d.RemoveDisconnectedItems();
    QVERIFY(ValueItem("yes").IsNull());
    QCOMPARE(Settings::Text(SettingKeys::MinimizeToTray), std::string("no"));
    QCOMPARE(Settings::Text(SettingKeys::ExpandNewShares), std::string("later"));
}

void tst_Settings::lookingUpMakesOnlyTheKey()
{
    SettingsStore store;
    // Asking whether the key exists makes nothing; the server's login relies on that.
    QVERIFY(!Settings::HasKey(SettingKeys::Password));
    // A read leaves an empty key behind, and no value.
    QCOMPARE(Settings::Text(SettingKeys::Password), std::string());
    QVERIFY(Settings::HasKey(SettingKeys::Password));
    QVERIFY(!Settings::HasValue(SettingKeys::Password));
    QCOMPARE(Count(SettingsTypes::GlobalValue), size_t(0));
    // Testing a word makes its value item, unlinked: the sweep takes it.
    QVERIFY(!Settings::IsYes(SettingKeys::Password));
    d.RemoveDisconnectedItems();
    QCOMPARE(Count(SettingsTypes::GlobalValue), size_t(0));
    QVERIFY(Settings::HasKey(SettingKeys::Password));
}

void tst_Settings::storeFileKeepsPersistentKeysOnly()
{
    // A home folder of its own, with the store file where the client keeps it.
    QTemporaryDir home;
    const QString path = home.filePath(QStringLiteral(".Quorvale"));
    {
        SettingsStore store;
        Settings::Set(SettingKeys::DownloadFolder, "/srv/shared-text");
        Settings::Set(SettingKeys::WishListWait, "/srv/shared-text");
        Settings::Set(SettingKeys::WishListSearchIndex, "only-this-run");
        Settings::SetNumber(SettingKeys::UploadSlots, 3);
        Settings::Text(SettingKeys::Username); // an empty key
        QVERIFY(store.saver.Save(path));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(bytes.count("/srv/shared-text"), qsizetype(1));
    QCOMPARE(bytes.count("only-this-run"), qsizetype(0));
    QCOMPARE(bytes.count("wish_list"), qsizetype(0));
    QCOMPARE(bytes.count("vglobal"), qsizetype(0));

    SettingsStore store;
    store.saver.Load(path);
    QCOMPARE(Settings::Text(SettingKeys::DownloadFolder), std::string("/srv/shared-text"));
    QCOMPARE(Settings::Int(SettingKeys::UploadSlots), 3);
    QVERIFY(Settings::HasKey(SettingKeys::Username));
    QVERIFY(!Settings::HasValue(SettingKeys::Username));
    QCOMPARE(Count(SettingsTypes::VGlobal), size_t(0));
    QCOMPARE(Count(SettingsTypes::GlobalValue), size_t(2));
}

void tst_Settings::watchFiresOnNewValuesOnly()
{
    SettingsStore store;
    Watcher watcher(SettingKeys::Username);
    Watcher transientWatcher(SettingKeys::WishListWait);
    Settings::Set(SettingKeys::Username, "alice");
    Settings::Set(SettingKeys::Username, "bob");
    // The same text again is no new value.
    Settings::Set(SettingKeys::Username, "bob");
    Settings::Remove(SettingKeys::Username);
    // Another key, even one with the same name in the other type, is not watched.
    Settings::Set(SettingKeys::Password, "carol");
    Settings::Set(SettingKey{"username", ValueKind::Name, true}, "dave");
    Settings::Set(SettingKeys::Username, "erin");
    QCOMPARE(watcher.seen, QStringList({"alice", "bob", "erin"}));

    Settings::SetNumber(SettingKeys::WishListWait, 720);
    QCOMPARE(transientWatcher.seen, QStringList({"720"}));
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
