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

using Words = std::set<std::string>;
Q_DECLARE_METATYPE(Words)

namespace {

Words WordsOf(const QStringList& list)
{
    Words out;
    for (const QString& w : list)
        out.insert(w.toStdString());
    return out;
}

} // namespace

void tst_SearchIndex::tokens_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<Words>("words");

    QTest::newRow("Track01.MP3 in /music/Old")
        << QByteArray("/music/Old") << QByteArray("Track01.MP3")
        << WordsOf({"music", "old", "track01", "mp3", "track01.mp3"});
    QTest::newRow("punctuation") << QByteArray("/m") << QByteArray("my-song (live).mp3")
                                 << WordsOf({"m", "my", "song", "live", "mp3", "my-song",
                                             "(live).mp3"});
    QTest::newRow("separators only")
        << QByteArray("/m") << QByteArray("---") << WordsOf({"m", "---"});
    // Only ASCII letters are lowered; the UTF-8 bytes of E-acute stay as they are.
    QTest::newRow("accented") << QByteArray("/m") << QByteArray("\xc3\x89T\xc3\x89.mp3")
                              << Words{"m", "\xc3\x89t\xc3\x89", "mp3", "\xc3\x89t\xc3\x89.mp3"};
    QTest::newRow("blanks in the folder") << QByteArray("/My Music/a b") << QByteArray("x")
                                          << WordsOf({"my", "music", "a", "b", "x"});
}

void tst_SearchIndex::tokens()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(Words, words);

    SharesTestEnv env;
    ItemPtr file = SharesTestEnv::AddFile(SharesTestEnv::Root("/"), folder.toStdString(),
                                          name.toStdString());
    QCOMPARE(SharesTestEnv::Tokens(file), words);
    QCOMPARE(d.GetType("search_token")->ItemCount(), words.size());

    // Again: nothing new.
    const size_t links = file->ConnectionCount();
    env.shares().TokenizeSharedFile(file);
    QCOMPARE(file->ConnectionCount(), links);
}

void tst_SearchIndex::queries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<Words>("included");
    QTest::addColumn<Words>("parts");
    QTest::addColumn<Words>("excluded");
    QTest::addColumn<bool>("valid");

    QTest::newRow("all three kinds") << QByteArray("abc -def *gh") << WordsOf({"abc"})
                                     << WordsOf({"gh"}) << WordsOf({"def"}) << true;
    QTest::newRow("excluded only")
        << QByteArray("-abc") << Words{} << Words{} << WordsOf({"abc"}) << false;
    QTest::newRow("one part word")
        << QByteArray("*abc") << Words{} << WordsOf({"abc"}) << Words{} << true;
    QTest::newRow("ends in a lone minus")
        << QByteArray("abc -") << WordsOf({"abc"}) << Words{} << Words{} << false;
    QTest::newRow("ends in a lone asterisk")
        << QByteArray("abc *") << WordsOf({"abc"}) << Words{} << Words{} << false;
    QTest::newRow("lone minus mid-text")
        << QByteArray("abc - def") << WordsOf({"abc"}) << Words{} << Words{} << false;
    QTest::newRow("quoted phrase, then a word")
        << QByteArray("\"new york\" band") << WordsOf({"new york", "band"}) << Words{} << Words{}
        << true;
    QTest::newRow("unclosed quote")
        << QByteArray("\"new york") << WordsOf({"new york"}) << Words{} << Words{} << true;
    QTest::newRow("quote inside a word")
        << QByteArray("ab\"c") << Words{} << Words{} << Words{} << false;
    QTest::newRow("empty quotes") << QByteArray("abc \"\"") << WordsOf({"abc"}) << Words{}
                                  << Words{} << false;
    QTest::newRow("one prefix only")
        << QByteArray("-*abc x") << WordsOf({"x"}) << Words{} << WordsOf({"*abc"}) << true;
    QTest::newRow("blanks and tabs only")
        << QByteArray(" \t  \t") << Words{} << Words{} << Words{} << false;
    QTest::newRow("tabs separate, case kept, repeats once")
        << QByteArray("\tAbc\tabc  Abc ") << WordsOf({"Abc", "abc"}) << Words{} << Words{} << true;
    QTest::newRow("excluded phrase") << QByteArray("rock -\"live at\"") << WordsOf({"rock"})
                                     << Words{} << WordsOf({"live at"}) << true;
}

void tst_SearchIndex::queries()
{
    QFETCH(QByteArray, query);
    QFETCH(Words, included);
    QFETCH(Words, parts);
    QFETCH(Words, excluded);
    QFETCH(bool, valid);

    SearchParser parser;
    QCOMPARE(parser.SetSearchText(query.toStdString()), valid);
    QCOMPARE(parser.GetIncludedTokenSet(), included);
    QCOMPARE(parser.GetIncludedPartTokenSet(), parts);
    QCOMPARE(parser.GetExcludedTokenSet(), excluded);
}

QTEST_GUILESS_MAIN(tst_SearchIndex)
#include "tst_searchindex.moc"
