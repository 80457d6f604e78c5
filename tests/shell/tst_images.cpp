// The compiled-in images: every icon the program names, and the country flags.

#include "icons/Icons.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QSet>
#include <QTest>

class tst_Images : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyNamedImageLoads_data();
    void everyNamedImageLoads();
    void connectionStatesLookDifferent();
};

void tst_Images::initTestCase()
{
    Icons::InitResources();
    // Twice is harmless.
    Icons::InitResources();
}

void tst_Images::everyNamedImageLoads_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    // Every icon name the forms, menus and tool bars use.
    for (const char* name :
         {"add_user_icon",   "alert_icon",    "back_icon",        "browse_icon",
          "chat_icon",       "download_icon", "downloads_icon",   "empty_note_icon",
          "forward_icon",    "note_icon",     "offline_dot_icon", "offline_icon",
          "online_dot_icon", "online_icon",   "remove_user_icon", "room_icon",
          "search_icon",     "transfer_icon", "users_icon",       "wishlist_icon"}) {
        const QString path = QStringLiteral(":/icons/") + QLatin1String(name);
        QTest::newRow(qPrintable(path)) << path << QSize(16, 16);
    }
    // The login options' actions name it without the slash.
    QTest::newRow(":icons/online_icon") << QStringLiteral(":icons/online_icon") << QSize(16, 16);
    for (const char* code : {"de", "us", "gb", "fr", "jp", "br"}) {
        const QString path = QStringLiteral(":/resources/flags/%1.png").arg(QLatin1String(code));
        QTest::newRow(qPrintable(path)) << path << QSize(16, 11);
    }
}

void tst_Images::everyNamedImageLoads()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), size);
}

void tst_Images::connectionStatesLookDifferent()
{
    // The application icon is the only sign of being online.
    const QImage online =
        QImage(QStringLiteral(":/icons/online_icon")).convertToFormat(QImage::Format_ARGB32);
    const QImage offline =
        QImage(QStringLiteral(":/icons/offline_icon")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(online != offline);
    const QImage onlineDot =
        QImage(QStringLiteral(":/icons/online_dot_icon")).convertToFormat(QImage::Format_ARGB32);
    const QImage offlineDot =
        QImage(QStringLiteral(":/icons/offline_dot_icon")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(onlineDot != offlineDot);
    // Every country's flag, one image each.
    const QStringList flags = QDir(QStringLiteral(":/resources/flags")).entryList();
    QVERIFY(flags.size() > 200);
    QVERIFY(flags.contains(QStringLiteral("de.png")));
}

QTEST_MAIN(tst_Images)
#include "tst_images.moc"
