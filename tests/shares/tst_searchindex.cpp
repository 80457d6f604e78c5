// The words a shared file is indexed under, and how a search text is cut into words.

#include "SharesTestEnv.h"

#include "shares/SearchParser.h"

class tst_SearchIndex : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tokens_data();
    void tokens();
    void queries_data();
    void queries();
};

namespace {

// A set of words as the rows below write it: "{a, b}".
QString Braced(const std::set<std::string>& words)
{
    QStringList list;
    for (const std::string& w : words)
        list << QString::fromStdString(w);
    return '{' + list.join(QStringLiteral(", ")) + '}';
}

} // namespace

void tst_SearchIndex::tokens_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("words");

    QTest::newRow("Track01.MP3 in /music/Old")
        << QByteArray("/music/Old") << QByteArray("Track01.MP3")
        << "{mp3, music, old, track01, track01.mp3}";
    QTest::newRow("punctuation") << QByteArray("/m") << QByteArray("my-song (live).mp3")
                                 << "{(live).mp3, live, m, mp3, my, my-song, song}";
    QTest::newRow("separators only") << QByteArray("/m") << QByteArray("---") << "{---, m}";
    // Only ASCII letters are lowered; the UTF-8 bytes of E-acute stay as they are.
    QTest::newRow("accented") << QByteArray("/m") << QByteArray("\xc3\x89T\xc3\x89.mp3")
                              << QString::fromUtf8("{m, mp3, \xc3\x89t\xc3\x89, "
                                                   "\xc3\x89t\xc3\x89.mp3}");
    QTest::newRow("blanks in the folder")
        << QByteArray("/My Music/a b") << QByteArray("x") << "{a, b, music, my, x}";
}

void tst_SearchIndex::tokens()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(QString, words);

    SharesTestEnv env;
    ItemPtr file =
        SharesTestEnv::AddFile(SharesTestEnv::Root("/"), folder.toStdString(), name.toStdString());
    QCOMPARE(Braced(SharesTestEnv::Tokens(file)), words);
    QCOMPARE(d.GetType("search_token")->ItemCount(), SharesTestEnv::Tokens(file).size());

    // Again: nothing new.
    const size_t links = file->ConnectionCount();
    env.shares().TokenizeSharedFile(file);
    QCOMPARE(file->ConnectionCount(), links);
}

void tst_SearchIndex::queries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("parsed"); // included, part and excluded words, and valid or not

    QTest::newRow("all three kinds") << QByteArray("abc -def *gh") << "{abc} {gh} {def} valid";
    QTest::newRow("excluded only") << QByteArray("-abc") << "{} {} {abc} invalid";
    QTest::newRow("one part word") << QByteArray("*abc") << "{} {abc} {} valid";
    QTest::newRow("ends in a lone minus") << QByteArray("abc -") << "{abc} {} {} invalid";
    QTest::newRow("ends in a lone asterisk") << QByteArray("abc *") << "{abc} {} {} invalid";
    QTest::newRow("lone minus mid-text") << QByteArray("abc - def") << "{abc} {} {} invalid";
    QTest::newRow("quoted phrase, then a word")
        << QByteArray("\"new york\" band") << "{band, new york} {} {} valid";
    QTest::newRow("unclosed quote") << QByteArray("\"new york") << "{new york} {} {} valid";
    QTest::newRow("quote inside a word") << QByteArray("ab\"c") << "{} {} {} invalid";
    QTest::newRow("empty quotes") << QByteArray("abc \"\"") << "{abc} {} {} invalid";
    QTest::newRow("one prefix only") << QByteArray("-*abc x") << "{x} {} {*abc} valid";
    QTest::newRow("blanks and tabs only") << QByteArray(" \t  \t") << "{} {} {} invalid";
    QTest::newRow("tabs separate, case kept, repeats once")
        << QByteArray("\tAbc\tabc  Abc ") << "{Abc, abc} {} {} valid";
    QTest::newRow("excluded phrase")
        << QByteArray("rock -\"live at\"") << "{rock} {} {live at} valid";
}

void tst_SearchIndex::queries()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, parsed);

    SearchParser parser;
    const bool valid = parser.SetSearchText(query.toStdString());
    QCOMPARE(Braced(parser.GetIncludedTokenSet()) + ' ' + Braced(parser.GetIncludedPartTokenSet()) +
                 ' ' + Braced(parser.GetExcludedTokenSet()) + (valid ? " valid" : " invalid"),
             parsed);
}

QTEST_GUILESS_MAIN(tst_SearchIndex)
#include "tst_searchindex.moc"
