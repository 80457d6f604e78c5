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
ItemPtr MakeItem(const QString& spec)
{
    if (spec == QLatin1String("none"))
        return ItemPtr();
    const QStringList parts = spec.split(u' ');
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

const char* const kParagraphs[18] = {
    "Enter words into the filter box to only show combinations of folders and files that "
    "contain those words. For example entering:",
    "lackluster container",
    "into the filter box will only show files that either contain both those words "
    "(considering the folder they are in as well.)",
    "Prefix a word with a dash to make sure files shown don't contain the word:",
    "lackluster container -bothersome",
    "Will show the same files as the first example, except for files that have \"bothersome\" "
    "in their name or in their folder name.",
    "In addition, these special tokens will filter files based on certain attributes:",
    "minbitrate:number (show audio files with a minimum bitrate of number.)",
    "minfilesize:number (show files with a minimum filesize of number MB)",
    "minfilesinfolder:number (show folders with at least number files in them)",
    "isvbr (show variable bitrate audio files)",
    "iscbr (show constant bitrate audio files)",
    "(Acceptable shorthands: mbr instead of minbitrate, mfs instead of minfilesize, mfif "
    "instead of minfilesinfolder)",
    "For example typing this into the filter box:",
    "lackluster container iscbr minbitrate:320 minfilesize:10 minfilesinfolder:8",
    "Will show all files with 'lackluster' and 'container' in their name or folder name, that "
    "are constant bitrate encoded, of a minimum bitrate of 320, a minimum file size of 10 "
    "megabytes and that are in folders with at least 8 visible (non-filtered) files in them.",
    "Using shorthands, this example is identical to the one above:",
    "lackluster container iscbr mbr:320 mfs:10 mfif:8",
};

// The document's blocks: each paragraph followed by an empty one, but the five token lines.
QStringList ExpectedBlocks()
{
    QStringList blocks;
    for (int n = 1; n <= 18; ++n) {
        blocks << QString::fromUtf8(kParagraphs[n - 1]);
        if (n < 8 || n > 12)
            blocks << QString();
    }
    return blocks;
}

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
    QTest::newRow("empty") << "" << "";
    QTest::newRow("blanks") << "   " << "";
    QTest::newRow("several spaces") << "lackluster   container" << "+lackluster +container";
    QTest::newRow("only the space separates") << "a\tb" << "+a\tb";
    QTest::newRow("lone dashes") << "- -" << "";
    QTest::newRow("two dashes") << "--live" << "--live";
    QTest::newRow("a dashed keyword") << "-isvbr" << "-isvbr";
    QTest::newRow("words and dashes keep order")
        << "a -b mbr:192 c -d a" << "+a +c +a -b -d mbr=192 attributes";
    QTest::newRow("isvbr") << "isvbr" << "vbr attributes";
    QTest::newRow("iscbr") << "iscbr" << "cbr attributes";
    QTest::newRow("other case is a word")
        << "ISVBR Mbr:1 MFS:2 isvbrx" << "+ISVBR +Mbr:1 +MFS:2 +isvbrx";
    QTest::newRow("letters: no limit") << "mbr:abc" << "attributes";
    QTest::newRow("no number") << "mbr:" << "attributes";
    QTest::newRow("zero") << "minbitrate:0" << "attributes";
    QTest::newRow("plus sign") << "mbr:+192" << "mbr=192 attributes";
    QTest::newRow("minus sign") << "minbitrate:-5" << "mbr=-5 attributes";
    QTest::newRow("largest int") << "mbr:2147483647" << "mbr=2147483647 attributes";
    QTest::newRow("past int") << "mbr:2147483648" << "attributes";
    QTest::newRow("later limit replaces") << "mbr:192 mbr:128" << "mbr=128 attributes";
    QTest::newRow("one megabyte") << "mfs:1" << "mfs=1000000 attributes";
    QTest::newRow("long form") << "minfilesize:10" << "mfs=10000000 attributes";
    QTest::newRow("largest megabytes")
        << "mfs:9223372036854" << "mfs=9223372036854000000 attributes";
    QTest::newRow("past the largest saturates")
        << "mfs:9223372036855" << "mfs=9223372036854775807 attributes";
    QTest::newRow("smallest megabytes")
        << "mfs:-9223372036854" << "mfs=-9223372036854000000 attributes";
    QTest::newRow("past the smallest saturates")
        << "minfilesize:-9223372036855" << "mfs=-9223372036854775808 attributes";
    QTest::newRow("past 64 bits: no limit") << "mfs:9223372036854775808" << "attributes";
    QTest::newRow("file count") << "mfif:8" << "mfif=8";
    QTest::newRow("file count, long form") << "minfilesinfolder:3" << "mfif=3";
    QTest::newRow("file count replaced") << "mfif:8 minfilesinfolder:x" << "";
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
    QTest::newRow("empty filter") << "" << "anything" << "none" << 0 << "";
    QTest::newRow("blank filter, odd values")
        << "   " << "" << file + " bitrate=-5 file_size=-1 bitrate_mode=x" << 0 << "";
    QTest::newRow("inside longer words, any case")
        << "lackluster container" << "Lackluster CONTAINERS.mp3" << "none" << 0 << "";
    QTest::newRow("a word missing")
        << "lackluster container" << "lackluster.mp3" << "none" << 1 << "+container";
    QTest::newRow("every missing word, in order")
        << "a b c a" << "c" << "none" << 1 << "+a +b +a";
    QTest::newRow("final sigma") << "σίσυφος" << "ΣΊΣΥΦΟΣ.flac" << "none" << 0 << "";
    QTest::newRow("capitals in the filter") << "ΣΊΣΥΦΟΣ" << "σίσυφος" << "none" << 0 << "";
    QTest::newRow("lone dash") << "-" << "-" << "none" << 0 << "";
    QTest::newRow("dashed word present") << "--live" << "a -live b" << "none" << 2 << "";
    QTest::newRow("dashed word absent") << "--live" << "a live b" << "none" << 0 << "--live";
    QTest::newRow("unwanted inside a word") << "x -live" << "LIVELY x" << "none" << 2 << "";
    QTest::newRow("unwanted word: limits kept, no words")
        << "a -b mbr:192" << "xb" << "none" << 2 << "mbr=192 attributes";
    QTest::newRow("wanted and unwanted")
        << "a -b mbr:192" << "xa" << "none" << 0 << "-b mbr=192 attributes";
    QTest::newRow("ISVBR is a word")
        << "ISVBR" << "x" << file + " bitrate_mode=cbr" << 1 << "+ISVBR";
    QTest::newRow("no item: limits wait")
        << "mbr:320 isvbr mfif:2" << "folder" << "none" << 0 << "mbr=320 vbr mfif=2 attributes";

    QTest::newRow("size below one megabyte")
        << "mfs:1" << "" << file + " file_size=999999" << 2 << "";
    QTest::newRow("size one megabyte")
        << "mfs:1" << "" << file + " file_size=1000000" << 0 << "mfs=1000000 attributes";
    QTest::newRow("no size") << "mfs:1" << "" << file << 2 << "";
    QTest::newRow("largest megabytes")
        << "mfs:9223372036854" << "" << file + " file_size=9223372036854000000" << 0
        << "mfs=9223372036854000000 attributes";
    QTest::newRow("past the largest megabytes")
        << "mfs:9223372036855" << "" << file + " file_size=9223372036854000000" << 2 << "";
    QTest::newRow("no bitrate") << "mbr:1" << "" << file << 2 << "";
    QTest::newRow("bitrate below") << "mbr:192" << "" << file + " bitrate=191" << 2 << "";
    QTest::newRow("bitrate at")
        << "mbr:192" << "" << file + " bitrate=192" << 0 << "mbr=192 attributes";
    QTest::newRow("bitrate beyond int")
        << "mbr:1" << "" << file + " bitrate=4294967295" << 0 << "mbr=1 attributes";
    QTest::newRow("letters set no limit") << "mbr:abc" << "" << file << 0 << "attributes";
    QTest::newRow("vbr") << "isvbr" << "" << file + " bitrate_mode=vbr" << 0 << "vbr attributes";
    QTest::newRow("vbr, file cbr") << "isvbr" << "" << file + " bitrate_mode=cbr" << 2 << "";
    QTest::newRow("vbr, no mode") << "isvbr" << "" << file << 2 << "";
    QTest::newRow("cbr, no mode") << "iscbr" << "" << file << 2 << "";
    QTest::newRow("both modes, vbr")
        << "isvbr iscbr" << "" << file + " bitrate_mode=vbr" << 2 << "";
    QTest::newRow("both modes, cbr")
        << "isvbr iscbr" << "" << file + " bitrate_mode=cbr" << 2 << "";
    QTest::newRow("failing item: text unread")
        << "x -y iscbr" << "y" << file + " bitrate_mode=vbr" << 2 << "";
    QTest::newRow("passing item, word missing")
        << "x -y iscbr" << "z" << file + " bitrate_mode=cbr" << 1 << "+x -y cbr attributes";
    QTest::newRow("share file passes")
        << "mfs:1 mbr:192 isvbr" << ""
        << shared + " bitrate=192 bitrate_mode=vbr file_size=1000000"
        << 0 << "mbr=192 vbr mfs=1000000 attributes";
    QTest::newRow("share file too small")
        << "mfs:1 mbr:192 isvbr" << ""
        << shared + " bitrate=192 bitrate_mode=vbr file_size=999999" << 2 << "";
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
    QTest::newRow("a word nowhere") << "lackluster container" << "lackluster/b.mp3" << file << 1;
    QTest::newRow("the folder has it all")
        << "lackluster container" << "lackluster container/b.mp3" << file << 0;
    QTest::newRow("unwanted in a folder") << "a -live" << "live/x/a.mp3" << file << 2;
    QTest::newRow("unwanted in the file") << "a -live" << "a/x/live.mp3" << file << 2;
    QTest::newRow("limit fails at the file")
        << "σίσυφος mbr:192" << "ΣΊΣΥΦΟΣ/01.flac" << file + " bitrate=128" << 2;
    QTest::newRow("limit holds at the file")
        << "σίσυφος mbr:192" << "ΣΊΣΥΦΟΣ/01.flac" << file + " bitrate=320" << 0;
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
    QCOMPARE(first->windowTitle(), QStringLiteral("Filter Help"));
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
    QTest::newRow("number in 10") << 10 << "number" << false << true;
    QTest::newRow("last token") << 12 << "iscbr" << true << false;
    QTest::newRow("mbr in 13") << 13 << "mbr" << true << false;
    QTest::newRow("minfilesinfolder in 13") << 13 << "minfilesinfolder" << true << false;
    QTest::newRow("between the names") << 13 << " instead of " << false << false;
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

    QStringList blocks;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        blocks << block.text();
    QCOMPARE(blocks, ExpectedBlocks());

    const int index = paragraph - 1 + qMin(paragraph - 1, 7) + qMax(paragraph - 13, 0);
    const QTextBlock block = document->findBlockByNumber(index);
    QCOMPARE(block.text(), QString::fromUtf8(kParagraphs[paragraph - 1]));
    bool found = false;
    for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
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
