// The user name and password dialog: what it shows, and what accepting it stores.

#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

std::string Stored(SettingKey key)
{
    return Settings::HasValue(key) ? Settings::Text(key) : std::string("(none)");
}

} // namespace

class tst_UsernameDialog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void showsWhatIsStored();
    void accepting_data();
    void accepting();

private:
    std::unique_ptr<StoreGuard> m_store;
    std::unique_ptr<DataSaver> m_saver;
};

void tst_UsernameDialog::init()
{
    m_store = std::make_unique<StoreGuard>();
    m_saver = std::make_unique<DataSaver>();
    Settings::CreateData(*m_saver);
}

void tst_UsernameDialog::cleanup()
{
    m_saver.reset();
    m_store.reset();
}

void tst_UsernameDialog::showsWhatIsStored()
{
    Settings::Set(SettingKeys::Username, "caf\xe9");
    Settings::Set(SettingKeys::Password, "secret");
    ChangeUsernamePasswordDialog first(true);
    QCOMPARE(first.windowTitle(), QStringLiteral("Set Username/Password"));
    QCOMPARE(first.findChild<QLineEdit*>("usernameEdit")->text(), QStringLiteral("caf\u00e9"));
    auto* password = first.findChild<QLineEdit*>("passwordEdit");
    QCOMPARE(password->text(), QStringLiteral("secret"));
    QCOMPARE(password->echoMode(), QLineEdit::Normal);
    ChangeUsernamePasswordDialog later(false);
    QCOMPARE(later.windowTitle(), QStringLiteral("Change Username/Password"));
}

void tst_UsernameDialog::accepting_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QByteArray>("storedUser");
    QTest::addColumn<QByteArray>("storedPassword");
    QTest::newRow("both") << "alice"
                          << "pw" << true << QByteArray("alice") << QByteArray("pw");
    QTest::newRow("blanks around go, blanks inside stay")
        << "  al ice\t"
        << " p w " << true << QByteArray("al ice") << QByteArray("p w");
    QTest::newRow("Latin-1 kept, beyond it a question mark")
        << QStringLiteral("J\u00fcrgen") << QStringLiteral("\u20ac5") << true
        << QByteArray("J\xfcrgen") << QByteArray("?5");
    QTest::newRow("blank user name")
        << "   "
        << "pw" << false << QByteArray("(none)") << QByteArray("(none)");
    QTest::newRow("empty password") << "alice"
                                    << "" << false << QByteArray("(none)") << QByteArray("(none)");
}

void tst_UsernameDialog::accepting()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, closes);
    QFETCH(QByteArray, storedUser);
    QFETCH(QByteArray, storedPassword);
    ChangeUsernamePasswordDialog dialog(true);
    dialog.show();
    dialog.findChild<QLineEdit*>("usernameEdit")->setText(user);
    dialog.findChild<QLineEdit*>("passwordEdit")->setText(password);
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(dialog.isVisible(), !closes);
    QCOMPARE(dialog.result(), closes ? int(QDialog::Accepted) : int(QDialog::Rejected));
    QCOMPARE(QByteArray::fromStdString(Stored(SettingKeys::Username)), storedUser);
    QCOMPARE(QByteArray::fromStdString(Stored(SettingKeys::Password)), storedPassword);

    // Cancelling stores nothing, whatever the fields hold.
    ChangeUsernamePasswordDialog again(false);
    again.show();
    again.findChild<QLineEdit*>("usernameEdit")->setText(QStringLiteral("mallory"));
    again.findChild<QLineEdit*>("passwordEdit")->setText(QStringLiteral("x"));
    again.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(QByteArray::fromStdString(Stored(SettingKeys::Username)), storedUser);
}

QTEST_MAIN(tst_UsernameDialog)
#include "tst_usernamedialog.moc"
