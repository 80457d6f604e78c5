#include "store/GeneralFunctions.h"

#include <QtTest>

#include <climits>

namespace {
using PathFunction = std::string (*)(std::string);
}
Q_DECLARE_METATYPE(PathFunction)

class tst_Utilities : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void getBit_data();
    void getBit();
    void paths_data();
    void paths();
    void fitName_data();
    void fitName();
    void commafy_data();
    void commafy();
    void formatSeconds_data();
    void formatSeconds();
    void escapeHTML_data();
    void escapeHTML();
    void convertLinks_data();
    void convertLinks();
};

void tst_Utilities::getBit_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("set");
    QTest::newRow("1, bit 1") << 1u << 1 << true;
    QTest::newRow("2, bit 1") << 2u << 1 << false;
    QTest::newRow("2, bit 2") << 2u << 2 << true;
    QTest::newRow("0x80, bit 8") << 0x80u << 8 << true;
    QTest::newRow("top, bit 32") << 2147483648u << 32 << true;
    QTest::newRow("top, bit 31") << 2147483648u << 31 << false;
    // n - 1 wraps modulo 32.
    QTest::newRow("1, bit 33") << 1u << 33 << true;
    QTest::newRow("top, bit 0") << 2147483648u << 0 << true;
    QTest::newRow("top, lowest n") << 2147483648u << INT_MIN << true;
}

void tst_Utilities::getBit()
{
    QFETCH(uint, value);
    QFETCH(int, n);
    QFETCH(bool, set);
    QCOMPARE(GetBit(value, n), set);
}

void tst_Utilities::paths_data()
{
    QTest::addColumn<PathFunction>("function");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");

    const PathFunction reverse = ReversePathname;
    QTest::newRow("reverse backslashes")
        << reverse << QByteArray("music\\rock\\band") << QByteArray("band/rock/music");
    QTest::newRow("reverse doubled and trailing")
        << reverse << QByteArray("a//b/") << QByteArray("b/a");
    QTest::newRow("reverse mixed, leading")
        << reverse << QByteArray("\\x/y\\\\z") << QByteArray("z/y/x");
    QTest::newRow("reverse one component") << reverse << QByteArray("x") << QByteArray("x");
    QTest::newRow("reverse lone backslash") << reverse << QByteArray("\\") << QByteArray();
    QTest::newRow("reverse separators only") << reverse << QByteArray("/\\/") << QByteArray();
    QTest::newRow("reverse empty") << reverse << QByteArray() << QByteArray();

    const PathFunction extension = GetFileExtension;
    QTest::newRow("ext upper") << extension << QByteArray("Song.MP3") << QByteArray("mp3");
    QTest::newRow("ext last dot") << extension << QByteArray("archive.tar.gz") << QByteArray("gz");
    QTest::newRow("ext ignores separators")
        << extension << QByteArray("dir.old/readme") << QByteArray("old/readme");
    QTest::newRow("ext none") << extension << QByteArray("README") << QByteArray();
    QTest::newRow("ext trailing dot") << extension << QByteArray("a.") << QByteArray();
    QTest::newRow("ext non-ascii kept")
        << extension << QByteArray("x.\xc3\x89T") << QByteArray("\xc3\x89t");

    const PathFunction folder = GetFolder;
    QTest::newRow("folder") << folder << QByteArray("a\\b\\c") << QByteArray("a\\b");
    QTest::newRow("folder trailing") << folder << QByteArray("a\\b\\") << QByteArray("a");
    QTest::newRow("folder slashes") << folder << QByteArray("/home/u/f") << QByteArray("/home/u");
    QTest::newRow("folder bare") << folder << QByteArray("x") << QByteArray("x");
    QTest::newRow("folder empty") << folder << QByteArray() << QByteArray();
    QTest::newRow("folder root file") << folder << QByteArray("/f") << QByteArray();

    const PathFunction name = GetFileName;
    QTest::newRow("name") << name << QByteArray("a\\b\\c.mp3") << QByteArray("c.mp3");
    QTest::newRow("name trailing") << name << QByteArray("a\\b\\") << QByteArray("b");
    QTest::newRow("name mixed") << name << QByteArray("a/b\\c") << QByteArray("c");
    QTest::newRow("name bare") << name << QByteArray("x") << QByteArray("x");
    QTest::newRow("name empty") << name << QByteArray() << QByteArray();

    const PathFunction parent = GetParentFolder;
    QTest::newRow("parent two backslashes")
        << parent << QByteArray("a\\b\\c\\\\") << QByteArray("a\\b");
    QTest::newRow("parent slash") << parent << QByteArray("a/b/") << QByteArray("a");
    QTest::newRow("parent plain") << parent << QByteArray("a\\b") << QByteArray("a");
    QTest::newRow("parent backslashes only") << parent << QByteArray("\\\\") << QByteArray();
    QTest::newRow("parent empty") << parent << QByteArray() << QByteArray();

    // Names other users chose: one component inside its folder, whatever they hold.
    const PathFunction safe = SafePathComponent;
    QTest::newRow("safe plain") << safe << QByteArray("01 Intro.mp3") << QByteArray("01 Intro.mp3");
    QTest::newRow("safe printable ASCII from space to tilde kept")
        << safe << QByteArray(" !~ ") << QByteArray(" !~ ");
    QTest::newRow("safe control below space") << safe << QByteArray("a\x1f") << QByteArray("a_");
    QTest::newRow("safe empty") << safe << QByteArray() << QByteArray("_");
    QTest::newRow("safe dot") << safe << QByteArray(".") << QByteArray("_");
    QTest::newRow("safe dot dot") << safe << QByteArray("..") << QByteArray("_");
    QTest::newRow("safe three dots kept") << safe << QByteArray("...") << QByteArray("...");
    QTest::newRow("safe hidden kept") << safe << QByteArray(".bashrc") << QByteArray(".bashrc");
    QTest::newRow("safe separators")
        << safe << QByteArray("..\\..\\.bashrc") << QByteArray(".._.._.bashrc");
    QTest::newRow("safe slash") << safe << QByteArray("../etc/passwd")
                                << QByteArray(".._etc_passwd");
    QTest::newRow("safe nul") << safe << QByteArray("a\0b", 3) << QByteArray("a_b");
    QTest::newRow("safe controls")
        << safe << QByteArray("\x01\t\n\x1b[2J\x7f") << QByteArray("____[2J_");
    QTest::newRow("safe C1 control") << safe
                                     << QByteArray("a\xc2\x85"
                                                   "b\xc2\x9b")
                                     << QByteArray("a_b_");
    QTest::newRow("safe UTF-8 letters kept")
        << safe << QByteArray("h\xc3\xb8m\xc3\xa9 \xc2\xa0\xe2\x80\x8b")
        << QByteArray("h\xc3\xb8m\xc3\xa9 \xc2\xa0\xe2\x80\x8b");
    // Each would turn the rest of the name around on screen.
    QTest::newRow("safe right-to-left override")
        << safe << QByteArray("\xe2\x80\xaeqvesc36gpj.exe") << QByteArray("_qvesc36gpj.exe");
    QTest::newRow("safe bidi controls")
        << safe
        << QByteArray("\xe2\x80\xaag\xe2\x80\xabh\xe2\x80\xaci\xe2\x80\xadj\xe2\x81\xa6k"
                      "\xe2\x81\xa7l\xe2\x81\xa8m\xe2\x81\xa9n")
        << QByteArray("_g_h_i_j_k_l_m_n");
    // Their neighbours are ordinary: marks and spaces that reorder nothing.
    QTest::newRow("safe next to bidi controls kept")
        << safe << QByteArray("\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa")
        << QByteArray("\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa");
    // Bytes that are no UTF-8 come out as the replacement character the file system gets.
    QTest::newRow("safe lone lead byte at end")
        << safe << QByteArray("a\xc2") << QByteArray("a\xef\xbf\xbd");
    // Cut to the file system's 255 bytes, at a character, keeping the extension.
    const QByteArray a255(255, 'a');
    QTest::newRow("safe 255 bytes kept") << safe << a255 << a255;
    QTest::newRow("safe 256 bytes cut") << safe << a255 + 'a' << a255;
    QTest::newRow("safe cut keeps the extension")
        << safe << QByteArray(300, 'a') + ".mp3" << QByteArray(251, 'a') + ".mp3";
    QByteArray accents;
    for (int i = 0; i < 200; ++i)
        accents += "\xc3\xa9";
    QTest::newRow("safe cut at a character") << safe << "xx" + accents + ".mp3"
                                             << "xx" + accents.left(248) + ".mp3";
    // 255 bytes on the peer's side, three times as many once each is a replacement character.
    QByteArray replaced;
    for (int i = 0; i < 83; ++i)
        replaced += "\xef\xbf\xbd";
    QTest::newRow("safe Latin-1 counted as encoded")
        << safe << QByteArray(251, '\xe9') + ".mp3" << replaced + ".mp3";
    QTest::newRow("safe long extension cut with the rest")
        << safe << "a." + QByteArray(300, 'b') << "a." + QByteArray(253, 'b');
    QTest::newRow("safe all extension")
        << safe << "." + QByteArray(300, 'b') << "." + QByteArray(254, 'b');

    const PathFunction absolute = GetAbsoluteFileName;
    QTest::newRow("abs") << absolute << QByteArray("X:\\Music\\\\Rock\\")
                         << QByteArray("x:\\music\\rock");
    QTest::newRow("abs mixed run keeps first")
        << absolute << QByteArray("A/\\/B") << QByteArray("a/b");
    QTest::newRow("abs no relative resolving")
        << absolute << QByteArray("a/../B/./c") << QByteArray("a/../b/./c");
    QTest::newRow("abs one trailing") << absolute << QByteArray("Dir//") << QByteArray("dir");
    QTest::newRow("abs only separators") << absolute << QByteArray("//") << QByteArray();
    QTest::newRow("abs empty") << absolute << QByteArray() << QByteArray();
}

void tst_Utilities::paths()
{
    QFETCH(PathFunction, function);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QCOMPARE(QByteArray::fromStdString(function(input.toStdString())), output);
}

void tst_Utilities::fitName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<QByteArray>("fitted");
    QTest::newRow("number before the extension")
        << QByteArray("a.mp3") << QByteArray(" (2)") << 255 << QByteArray("a (2).mp3");
    QTest::newRow("last extension")
        << QByteArray("a.tar.gz") << QByteArray(" (1)") << 255 << QByteArray("a.tar (1).gz");
    QTest::newRow("no extension") << QByteArray("README") << QByteArray(" (3)") << 255
                                  << QByteArray("README (3)");
    QTest::newRow("all extension")
        << QByteArray(".profile") << QByteArray(" (1)") << 255 << QByteArray(".profile (1)");
    QTest::newRow("a dot at the end")
        << QByteArray("a.") << QByteArray(" (1)") << 255 << QByteArray("a. (1)");
    QTest::newRow("at the limit, room made for the number")
        << QByteArray(251, 'a') + ".mp3" << QByteArray(" (1)") << 255
        << QByteArray(247, 'a') + " (1).mp3";
    QTest::newRow("one over the limit")
        << QByteArray("abcdef.mp3") << QByteArray() << 9 << QByteArray("abcde.mp3");
    QTest::newRow("at the limit") << QByteArray("abcdef.mp3") << QByteArray() << 10
                                  << QByteArray("abcdef.mp3");
    QTest::newRow("cut inside a character")
        << QByteArray("\xc3\xa9\xc3\xa9\xc3\xa9.xy") << QByteArray() << 8
        << QByteArray("\xc3\xa9\xc3\xa9.xy");
    QTest::newRow("cut inside a four-byte character")
        << QByteArray("x\xf0\x9f\x8e\xb5\xf0\x9f\x8e\xb5") << QByteArray(" (1)") << 11
        << QByteArray("x\xf0\x9f\x8e\xb5 (1)");
    // Kept whole while it fits, cut with the rest when the name must be cut.
    const QByteArray longExtension = "a." + QByteArray(40, 'b');
    QTest::newRow("long extension, fits")
        << longExtension << QByteArray(" (1)") << 255 << "a (1)." + QByteArray(40, 'b');
    QTest::newRow("long extension, cut")
        << longExtension << QByteArray(" (1)") << 30 << "a." + QByteArray(24, 'b') + " (1)";
    QTest::newRow("extension of 32 bytes, cut")
        << "abc." + QByteArray(31, 'e') << QByteArray() << 34 << "ab." + QByteArray(31, 'e');
}

void tst_Utilities::fitName()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, mark);
    QFETCH(int, maxBytes);
    QFETCH(QByteArray, fitted);
    const std::string result = FitName(name.toStdString(), mark.toStdString(), size_t(maxBytes));
    QCOMPARE(QByteArray::fromStdString(result), fitted);
    QVERIFY(result.size() <= size_t(maxBytes));
}

void tst_Utilities::commafy_data()
{
    QTest::addColumn<qlonglong>("n");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0LL << QString();
    QTest::newRow("negative") << -5LL << QString();
    QTest::newRow("one") << 1LL << QString("1");
    QTest::newRow("999") << 999LL << QString("999");
    QTest::newRow("1000") << 1000LL << QString("1,000");
    QTest::newRow("100000") << 100000LL << QString("100,000");
    QTest::newRow("1234567") << 1234567LL << QString("1,234,567");
    QTest::newRow("max") << LLONG_MAX << QString("9,223,372,036,854,775,807");
}

void tst_Utilities::commafy()
{
    QFETCH(qlonglong, n);
    QFETCH(QString, text);
    QCOMPARE(CommafyNumber(n), text);
}

void tst_Utilities::formatSeconds_data()
{
    QTest::addColumn<long>("seconds");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("0") << 0L << QByteArray("0m0s");
    QTest::newRow("5") << 5L << QByteArray("0m5s");
    QTest::newRow("59") << 59L << QByteArray("0m59s");
    QTest::newRow("60") << 60L << QByteArray("1m0s");
    QTest::newRow("3600") << 3600L << QByteArray("1h0m0s");
    QTest::newRow("86400") << 86400L << QByteArray("1d0h0m0s");
    QTest::newRow("90061") << 90061L << QByteArray("1d1h1m1s");
    QTest::newRow("two days, no hours") << 172805L << QByteArray("2d0h0m5s");
}

void tst_Utilities::formatSeconds()
{
    QFETCH(long, seconds);
    QFETCH(QByteArray, text);
    QCOMPARE(QByteArray::fromStdString(FormatSeconds(seconds)), text);
}

void tst_Utilities::escapeHTML_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::newRow("all three") << "a<b>&c"
                               << "a&lt;b&gt;&amp;c";
    QTest::newRow("entity escaped again") << "&lt;"
                                          << "&amp;lt;";
    QTest::newRow("quotes stay") << "\"q\" 'a'"
                                 << "\"q\" 'a'";
    QTest::newRow("plain") << "hello"
                           << "hello";
}

void tst_Utilities::escapeHTML()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QCOMPARE(EscapeHTML(input), output);
}

void tst_Utilities::convertLinks_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::newRow("full stop outside") << "see http://example.org/a."
                                       << "see <a href=\"http://example.org/a\">"
                                          "http://example.org/a</a>.";
    QTest::newRow("comma and question mark outside")
        << "https://x.io/?q=1, ok? https://y.io?"
        << "<a href=\"https://x.io/?q=1\">https://x.io/?q=1</a>, ok? "
           "<a href=\"https://y.io\">https://y.io</a>?";
    QTest::newRow("query kept") << "http://h/p?a=b&c=d"
                                << "<a href=\"http://h/p?a=b&amp;c=d\">http://h/p?a=b&amp;c=d</a>";
    QTest::newRow("other schemes untouched") << "ftp://h/x and www.h.org"
                                             << "ftp://h/x and www.h.org";
    QTest::newRow("case sensitive") << "HTTP://h/x"
                                    << "HTTP://h/x";
    QTest::newRow("not mid-word") << "xhttp://h/x"
                                  << "xhttp://h/x";
    QTest::newRow("not after a non-ASCII letter")
        << QString::fromUtf8("caf\xc3\xa9http://h/x \xd0\x96http://h/y \xc3\xa9 http://h/z")
        << QString::fromUtf8("caf\xc3\xa9http://h/x \xd0\x96http://h/y \xc3\xa9 "
                             "<a href=\"http://h/z\">http://h/z</a>");
    // Found in the text as written, then escaped: what follows an address is never taken for
    // the rest of an entity, and the link goes to the address as written.
    QTest::newRow("an ampersand inside") << "go http://h/?a=1&b=2 now"
                                         << "go <a href=\"http://h/?a=1&amp;b=2\">"
                                            "http://h/?a=1&amp;b=2</a> now";
    QTest::newRow("> after") << "see http://example.com/a> now"
                             << "see <a href=\"http://example.com/a\">http://example.com/a</a>"
                                "&gt; now";
    QTest::newRow("& at the end") << "go http://example.com/?q=1& ok"
                                  << "go <a href=\"http://example.com/?q=1&amp;\">"
                                     "http://example.com/?q=1&amp;</a> ok";
    QTest::newRow("in angle brackets") << "<http://x.org/y>"
                                       << "&lt;<a href=\"http://x.org/y\">http://x.org/y</a>&gt;";
    QTest::newRow("in markup") << "<b>http://x.org</b><a href=\"https://y\">"
                               << "&lt;b&gt;<a href=\"http://x.org\">http://x.org</a>&lt;/b&gt;"
                                  "&lt;a href=\"<a href=\"https://y\">https://y</a>\"&gt;";
    QTest::newRow("entities stay text") << "&lt;http://x.org/&amp;"
                                        << "&amp;lt;<a href=\"http://x.org/&amp;amp\">"
                                           "http://x.org/&amp;amp</a>;";
    QTest::newRow("no address") << "a<b>&c"
                                << "a&lt;b&gt;&amp;c";
}

void tst_Utilities::convertLinks()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QCOMPARE(ConvertLinks(input), output);
}

QTEST_APPLESS_MAIN(tst_Utilities)
#include "tst_utilities.moc"
