// The result filter: what a filter line parses into, how texts and file items are tested against
// it (a search result and a file of a received share alike), the residual that carries a test
// down a path, and the help dialog the tabs open.

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "support/StoreGuard.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/FilterParser.h"

#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <memory>

namespace {

// The store types of search results and received share files.
struct Store
{
    Store()
    {
        Server::CreateData(saver);
        PeerMessenger::CreateData(saver);
        SharedFoldersManager::CreateData(saver);
    }
    StoreGuard guard;
    DataSaver saver;
};

// "none" for no item; otherwise the file's type, then its values as type=value, for example
// "search_result bitrate=192 file_size=5".
ItemPtr MakeItem(const QString& description)
{
    if (description == QLatin1String("none"))
        return ItemPtr();
    const QStringList parts = description.split(u' ');
    ItemPtr file = d.GetType(parts.first().toStdString())->NewItem();
    for (const QString& pair : parts.mid(1)) {
        const qsizetype at = pair.indexOf(u'=');
        file +=
            d.GetType(pair.left(at).toStdString())->GetItem(Value(pair.mid(at + 1).toStdString()));
    }
    return file;
}

// Everything a filter holds, in one line: "+wanted -unwanted", then the limits that are set.
QString Summary(const FilterParser& filter)
{
    QStringList parts;
    for (const QString& word : filter.IncludeWords())
        parts << u'+' + word;
    for (const QString& word : filter.ExcludeWords())
        parts << u'-' + word;
    if (filter.MinBitrate() != 0)
        parts << QStringLiteral("mbr=%1").arg(filter.MinBitrate());
    if (filter.IsVbr())
        parts << QStringLiteral("vbr");
    if (filter.IsCbr())
        parts << QStringLiteral("cbr");
    if (filter.MinFileSize() != 0)
        parts << QStringLiteral("mfs=%1").arg(filter.MinFileSize());
    if (filter.MinFilesInFolder() != 0)
        parts << QStringLiteral("mfif=%1").arg(filter.MinFilesInFolder());
    if (filter.HasAttributes())
        parts << QStringLiteral("attributes");
    return parts.join(u' ');
}

FilterParser Parsed(const QString& text)
{
    FilterParser filter;
    filter.Parse(text);
    return filter;
}

// How the eighteen paragraphs of the help begin, in order.
// clang-format off
const char* const kParagraphs[18] = {
    "Enter words into", "lackluster container", "into the filter box", "Prefix a word with",
    "lackluster container -bothersome", "Will show the same files as the first example, except "
    "for files that have \"bothersome\" in", "In addition, these", "minbitrate:number (show",
    "minfilesize:number (show", "minfilesinfolder:number (show", "isvbr (show", "iscbr (show",
    "(Acceptable shorthands:", "For example typing", "lackluster container iscbr minbitrate:",
    "Will show all files", "Using shorthands,", "lackluster container iscbr mbr:"};
// clang-format on

QTextEdit* HelpText(QWidget* dialog)
{
    return dialog->findChild<QTextEdit*>(QStringLiteral("textEdit"));
}

} // namespace

class tst_FilterParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void matching_data();
    void matching();
    void pathWalk_data();
    void pathWalk();
    void helpOpensOneDialogAtATime();
    void helpDocument_data();
    void helpDocument();
    void helpFitsItsDefaultSize();
};

void tst_FilterParser::parse_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("parsed");
    // clang-format off
    QTest::newRow("blanks") << "   " << "";
    QTest::newRow("several spaces") << "lackluster   container" << "+lackluster +container";
    QTest::newRow("only the space separates") << "a\tb" << "+a\tb";
    QTest::newRow("dashes") << "- --live" << "--live";
    QTest::newRow("other case is a word") << "ISVBR Mbr:1 isvbrx" << "+ISVBR +Mbr:1 +isvbrx";
    QTest::newRow("both modes") << "isvbr iscbr" << "vbr cbr attributes";
    QTest::newRow("letters: no limit") << "mbr:abc" << "attributes";
    QTest::newRow("plus sign, the later limit") << "mbr:1 mbr:+192" << "mbr=192 attributes";
    QTest::newRow("past int") << "mbr:2147483648" << "attributes";
    QTest::newRow("past the largest saturates")
        << "mfs:9223372036855" << "mfs=9223372036854775807 attributes";
    QTest::newRow("past the smallest saturates")
        << "minfilesize:-9223372036855" << "mfs=-9223372036854775808 attributes";
    QTest::newRow("file count") << "mfif:8" << "mfif=8";
    // clang-format on
}

void tst_FilterParser::parse()
{
    QFETCH(QString, filter);
    QFETCH(QString, parsed);
    QCOMPARE(Summary(Parsed(filter)), parsed);
}

void tst_FilterParser::matching_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("residual");

    const QString file = QStringLiteral("search_result");
    const QString shared = QStringLiteral("user_share_file");
    // clang-format off
    QTest::newRow("blank filter, odd values")
        << "   " << "" << file + " bitrate=-5 file_size=-1 bitrate_mode=x" << 0 << "";
    QTest::newRow("inside longer words, any case")
        << "lackluster container" << "Lackluster CONTAINERS.mp3" << "none" << 0 << "";
    QTest::newRow("a word missing")
        << "lackluster container" << "lackluster" << "none" << 1 << "+container";
    QTest::newRow("every missing word, in order")
        << "a b c a" << "c" << "none" << 1 << "+a +b +a";
    QTest::newRow("final sigma") << "σίσυφος" << "ΣΊΣΥΦΟΣ.flac" << "none" << 0 << "";
    QTest::newRow("dashed word present") << "--live" << "a -live b" << "none" << 2 << "";
    QTest::newRow("dashed word absent") << "--live" << "a live b" << "none" << 0 << "--live";
    QTest::newRow("unwanted word: limits kept, no words")
        << "a -b mbr:192" << "xb" << "none" << 2 << "mbr=192 attributes";
    QTest::newRow("no item: limits wait")
        << "mbr:320 isvbr mfif:2" << "folder" << "none" << 0 << "mbr=320 vbr mfif=2 attributes";
    QTest::newRow("size below one megabyte")
        << "mfs:1" << "" << file + " file_size=999999" << 2 << "";
    QTest::newRow("size one megabyte")
        << "mfs:1" << "" << file + " file_size=1000000" << 0 << "mfs=1000000 attributes";
    QTest::newRow("largest megabytes")
        << "mfs:9223372036854" << "" << file + " file_size=9223372036854000000" << 0
        << "mfs=9223372036854000000 attributes";
    QTest::newRow("past the largest megabytes")
        << "mfs:9223372036855" << "" << file + " file_size=9223372036854000000" << 2 << "";
    QTest::newRow("no bitrate") << "mbr:1" << "" << file << 2 << "";
    QTest::newRow("bitrate beyond int")
        << "mbr:1" << "" << file + " bitrate=4294967295" << 0 << "mbr=1 attributes";
    QTest::newRow("vbr, no mode") << "isvbr" << "" << file << 2 << "";
    QTest::newRow("cbr, no mode") << "iscbr" << "" << file << 2 << "";
    QTest::newRow("both modes, vbr")
        << "isvbr iscbr" << "" << file + " bitrate_mode=vbr" << 2 << "";
    QTest::newRow("both modes, cbr")
        << "isvbr iscbr" << "" << file + " bitrate_mode=cbr" << 2 << "";
    QTest::newRow("share file passes")
        << "mfs:1 mbr:192 isvbr" << ""
        << shared + " bitrate=192 bitrate_mode=vbr file_size=1000000"
        << 0 << "mbr=192 vbr mfs=1000000 attributes";
    // clang-format on
}

void tst_FilterParser::matching()
{
    QFETCH(QString, filter);
    QFETCH(QString, text);
    QFETCH(QString, item);
    QFETCH(int, result);
    QFETCH(QString, residual);
    Store store;
    const ItemPtr file = MakeItem(item);
    const FilterParser parsed = Parsed(filter);

    QCOMPARE(parsed.IsMatching(text, nullptr, file), result);
    // The residual is overwritten: the words it held before are gone.
    FilterParser rest = Parsed(QStringLiteral("old -older"));
    QCOMPARE(parsed.IsMatching(text, &rest, file), result);
    QCOMPARE(Summary(rest), residual);
}

void tst_FilterParser::pathWalk_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("result");

    const QString file = QStringLiteral("user_share_file");
    // clang-format off
    QTest::newRow("words spread over the path")
        << "lackluster container" << "Music/Lackluster/container.mp3" << file << 0;
    QTest::newRow("unwanted in a folder") << "a -live" << "live/x/a.mp3" << file << 2;
    QTest::newRow("limit fails at the file")
        << "σίσυφος mbr:192" << "ΣΊΣΥΦΟΣ/01.flac" << file + " bitrate=128" << 2;
    // clang-format on
}

void tst_FilterParser::pathWalk()
{
    QFETCH(QString, filter);
    QFETCH(QString, path);
    QFETCH(QString, item);
    QFETCH(int, result);
    Store store;
    const ItemPtr file = MakeItem(item);
    const FilterParser parsed = Parsed(filter);
    const QStringList pieces = path.split(u'/');

    // Folders by name only, then the file with its values; the filter carries on as its own
    // residual.
    FilterParser walk = parsed;
    int got = FilterParser::Matching;
    for (qsizetype i = 0; i < pieces.size() && got != FilterParser::Rejected; ++i) {
        const bool last = i + 1 == pieces.size();
        got = walk.IsMatching(pieces[i], &walk, last ? file : ItemPtr());
    }
    QCOMPARE(got, result);
    // Words hold no space, so none spans two pieces: the whole path as one text agrees.
    QCOMPARE(parsed.IsMatching(pieces.join(u' '), nullptr, file), result);
}

void tst_FilterParser::helpOpensOneDialogAtATime()
{
    QWidget searchTab;
    auto browseTab = std::make_unique<QWidget>();
    QVERIFY(!filterHelpDialog);

    QPointer<FilterHelpDialog> first = FilterHelpDialog::Open(&searchTab);
    QVERIFY(first);
    QCOMPARE(filterHelpDialog, first.data());
    QCOMPARE(first->parentWidget(), &searchTab);
    QVERIFY(first->isVisible());
    QVERIFY(!first->isModal());
    QCOMPARE(FilterHelpDialog::Open(browseTab.get()), first.data());
    QCOMPARE(searchTab.findChildren<FilterHelpDialog*>().size(), 1);

    // "Ok" closes it, which deletes it.
    auto* ok = first->findChild<QPushButton*>(QStringLiteral("pushButton"));
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(first.isNull());
    QVERIFY(!filterHelpDialog);

    QPointer<FilterHelpDialog> second = FilterHelpDialog::Open(browseTab.get());
    QVERIFY(second);
    QCOMPARE(second->parentWidget(), browseTab.get());
    QVERIFY(second->isVisible());
    // The tab it belongs to takes it along.
    browseTab.reset();
    QVERIFY(second.isNull());
    QVERIFY(!filterHelpDialog);
}

void tst_FilterParser::helpDocument_data()
{
    QTest::addColumn<int>("paragraph");
    QTest::addColumn<QString>("words");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("italic");
    // clang-format off
    QTest::newRow("don't") << 4 << "don't" << true << false;
    QTest::newRow("first token") << 8 << "minbitrate" << true << false;
    QTest::newRow("number in 8") << 8 << "number" << false << true;
    QTest::newRow("mbr in 13") << 13 << "mbr" << true << false;
    QTest::newRow("an example")
        << 15 << "lackluster container iscbr minbitrate:320 minfilesize:10 minfilesinfolder:8"
        << false << false;
    // clang-format on
}

void tst_FilterParser::helpDocument()
{
    QFETCH(int, paragraph);
    QFETCH(QString, words);
    QFETCH(bool, bold);
    QFETCH(bool, italic);
    FilterHelpDialog dialog;
    const QTextDocument* document = HelpText(&dialog)->document();

    // Each paragraph is followed by an empty one, but the five token lines.
    QTextBlock block = document->begin();
    QTextBlock wanted;
    for (int n = 1; n <= 18; ++n, block = block.next()) {
        QVERIFY2(block.text().startsWith(QLatin1String(kParagraphs[n - 1])), kParagraphs[n - 1]);
        if (n == paragraph)
            wanted = block;
        if (n < 8 || n > 12) {
            block = block.next();
            QCOMPARE(block.text(), QString());
        }
    }
    QVERIFY(!block.isValid());

    bool found = false;
    for (auto fragment = wanted.begin(); !fragment.atEnd(); ++fragment) {
        const QTextFragment piece = fragment.fragment();
        if (piece.text() != words)
            continue;
        found = true;
        QCOMPARE(piece.charFormat().fontWeight() >= QFont::Bold, bold);
        QCOMPARE(piece.charFormat().fontItalic(), italic);
    }
    QVERIFY2(found, qPrintable(words + QStringLiteral(" is no fragment of its own")));
}

void tst_FilterParser::helpFitsItsDefaultSize()
{
    FilterHelpDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // The whole text at once, no scrolling, and the button whole inside the window.
    const QTextEdit* text = HelpText(&dialog);
    QCOMPARE(text->verticalScrollBar()->maximum(), 0);
    QCOMPARE(text->horizontalScrollBar()->maximum(), 0);
    const auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("pushButton"));
    QVERIFY(dialog.rect().contains(ok->geometry()));
    QVERIFY(ok->height() >= ok->sizeHint().height());
}

QTEST_MAIN(tst_FilterParser)
#include "tst_filterparser.moc"
