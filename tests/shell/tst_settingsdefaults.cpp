// The defaults the shell writes around the store file's load, and the colour settings it applies
// to the application palette.

#include "engine/Engine.h"
#include "shell/SettingsDefaults.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/LogLines.h"
#include "support/StoreGuard.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QPalette::ColorRole kRoles[] = {QPalette::Window, QPalette::WindowText, QPalette::Base,
                                      QPalette::Text,   QPalette::Button,     QPalette::ButtonText};
const QPalette::ColorGroup kGroups[] = {QPalette::Active, QPalette::Inactive, QPalette::Disabled};

// A palette whose groups all differ, so that evening them out shows.
QPalette DistinctPalette()
{
    QPalette palette;
    int n = 0;
    for (QPalette::ColorRole role : kRoles) {
        for (QPalette::ColorGroup group : kGroups) {
            palette.setColor(group, role, QColor(10 + 40 * n % 240, 200 - 7 * n, 30 + 9 * n));
            ++n;
        }
    }
    return palette;
}

// Start-up as the shell runs it: the engine, the defaults, the load of the store file at path,
// the colours and the data version.
class StartUp
{
public:
    explicit StartUp(const QString& path,
                     const std::function<void()>& afterLoad = std::function<void()>())
    {
        EngineOptions options;
        options.loopbackListeners = true;
        m_engine = std::make_unique<Engine>(options);
        SettingsDefaults::WriteBeforeLoad();
        loaded = m_engine->Load(path);
        if (afterLoad)
            afterLoad();
        SettingsDefaults::ApplyColours();
        SettingsDefaults::WriteAfterLoad();
    }

    Engine& engine() { return *m_engine; }
    bool loaded = false;

private:
    StoreGuard m_store;
    std::unique_ptr<Engine> m_engine;
};

std::string Text(const char* key)
{
    return Settings::Text(SettingKey{key});
}

} // namespace

class tst_SettingsDefaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void firstRun_data();
    void firstRun();
    void paletteColoursFromTheCurrentGroup();
    void savedValuesReplaceDefaults();
    void storedColourApplied_data();
    void storedColourApplied();

private:
    QTemporaryDir m_dir;
};

void tst_SettingsDefaults::init()
{
    QVERIFY(m_dir.isValid());
    QGuiApplication::setPalette(DistinctPalette());
}

void tst_SettingsDefaults::firstRun_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("1") << QByteArray("minimize_to_tray") << QByteArray("yes");
    QTest::newRow("2") << QByteArray("expand_new_shares") << QByteArray("yes");
    QTest::newRow("3") << QByteArray("chat_timestamps") << QByteArray("activity_based");
    QTest::newRow("10") << QByteArray("color_transfer_queued") << QByteArray("#3366ff");
    QTest::newRow("11") << QByteArray("color_transfer_complete") << QByteArray("#006400");
    QTest::newRow("12") << QByteArray("color_transfer_in_progress") << QByteArray("#0000ff");
    QTest::newRow("13") << QByteArray("color_transfer_failed") << QByteArray("#ff0a47");
    QTest::newRow("14") << QByteArray("color_transfer_other") << QByteArray("#000000");
    QTest::newRow("15") << QByteArray("color_chat_username") << QByteArray("#0033ff");
    QTest::newRow("16") << QByteArray("color_chat_timestamp") << QByteArray("#0066ff");
    QTest::newRow("17") << QByteArray("color_chat_status") << QByteArray("#339933");
    QTest::newRow("18") << QByteArray("log_room_chat") << QByteArray("yes");
    QTest::newRow("19") << QByteArray("log_private_chat") << QByteArray("yes");
    QTest::newRow("20") << QByteArray("data_version") << QByteArray("1");
}

void tst_SettingsDefaults::firstRun()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    StartUp start(m_dir.filePath(QStringLiteral("no-such-file")));
    QVERIFY(start.loaded);
    QCOMPARE(QByteArray::fromStdString(Text(key.constData())), value);
}

void tst_SettingsDefaults::paletteColoursFromTheCurrentGroup()
{
    const QPalette before = QGuiApplication::palette();
    StartUp start(m_dir.filePath(QStringLiteral("no-such-file")));
    const QPalette after = QGuiApplication::palette();
    const char* keys[] = {"color_window_background", "color_window_text",
                          "color_input_background",  "color_input_text",
                          "color_button_background", "color_button_text"};
    for (int i = 0; i < 6; ++i) {
        const QColor current = before.color(before.currentColorGroup(), kRoles[i]);
        const QString stored = QString::fromStdString(Text(keys[i]));
        QCOMPARE(QColor::fromString(stored), current);
        // The name form: "#" and six lower-case hexadecimal digits.
        QVERIFY2(QRegularExpression(QStringLiteral("^#[0-9a-f]{6}$")).match(stored).hasMatch(),
                 qPrintable(stored));
        for (QPalette::ColorGroup group : kGroups)
            QCOMPARE(after.color(group, kRoles[i]), group == QPalette::Disabled && i % 2
                                                        ? before.color(group, kRoles[i])
                                                        : current);
    }
    // The copy the colour dialog resets to keeps the palette as it was found.
    QCOMPARE(defaultPalette, before);
    QVERIFY(defaultPalette.color(QPalette::Disabled, QPalette::Text) !=
            defaultPalette.color(QPalette::Active, QPalette::Text));
}

void tst_SettingsDefaults::savedValuesReplaceDefaults()
{
    const QString path = m_dir.filePath(QStringLiteral(".Quorvale"));
    {
        StartUp first(path);
        Settings::Set(SettingKeys::ChatTimestamps, "per_message_long");
        Settings::Set(SettingKeys::DataVersion, "7");
        Settings::Set(SettingKeys::ColorWindowText, "#123456");
        QVERIFY(first.engine().Shutdown(path));
    }
    StartUp second(path);
    QVERIFY(second.loaded);
    QCOMPARE(Settings::Text(SettingKeys::ChatTimestamps), std::string("per_message_long"));
    QCOMPARE(Settings::Text(SettingKeys::DataVersion), std::string("1"));
    QCOMPARE(QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText),
             QColor(0x12, 0x34, 0x56));
    // Untouched defaults stay.
    QCOMPARE(Settings::Text(SettingKeys::LogRoomChat), std::string("yes"));
}

void tst_SettingsDefaults::storedColourApplied_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QColor>("applied"); // invalid: the role stays as the palette had it
    QTest::newRow("six digits") << QByteArray("#12ab34") << QColor(0x12, 0xab, 0x34);
    QTest::newRow("upper case") << QByteArray("#12AB34") << QColor(0x12, 0xab, 0x34);
    QTest::newRow("three digits") << QByteArray("#fa0") << QColor(0xff, 0xaa, 0x00);
    QTest::newRow("colour name") << QByteArray("red") << QColor(Qt::red);
    QTest::newRow("five digits") << QByteArray("#12345") << QColor();
    QTest::newRow("not a colour") << QByteArray("sky") << QColor();
    QTest::newRow("empty") << QByteArray("") << QColor();
    const QColor base = DistinctPalette().color(QPalette::Active, QPalette::Base);
    QTest::newRow("text as its background") << base.name().toLatin1() << base;
}

void tst_SettingsDefaults::storedColourApplied()
{
    QFETCH(QByteArray, stored);
    QFETCH(QColor, applied);
    const QPalette before = QGuiApplication::palette();
    LogLines log(QStringLiteral("Configuration Data"));
    // The same text in all three text colours.
    StartUp start(m_dir.filePath(QStringLiteral("no-such-file")), [stored] {
        for (const SettingKey& key : {SettingKeys::ColorWindowText, SettingKeys::ColorInputText,
                                      SettingKeys::ColorButtonText})
            Settings::Set(key, stored.toStdString());
    });
    const QPalette after = QGuiApplication::palette();
    for (QPalette::ColorGroup group : kGroups) {
        for (QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            const QColor shown = after.color(group, role);
            if (!applied.isValid())
                QCOMPARE(shown, before.color(group, role));
            else if (group == QPalette::Disabled)
                QVERIFY2(shown != applied, "disabled text looks enabled");
            else
                QCOMPARE(shown, applied);
        }
        // The other roles are applied all the same.
        QCOMPARE(after.color(group, QPalette::Base),
                 before.color(QPalette::Active, QPalette::Base));
    }
    const QString line = QStringLiteral("Setting color_input_text holds \"%1\", which is not a "
                                        "colour; keeping the palette's colour")
                             .arg(QString::fromLatin1(stored));
    QCOMPARE(log.Has(line), !applied.isValid());
}

QTEST_MAIN(tst_SettingsDefaults)
#include "tst_settingsdefaults.moc"
