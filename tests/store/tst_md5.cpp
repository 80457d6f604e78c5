#include "store/MD5.h"

#include <QtTest>

#include <cstdio>
#include <sstream>

class tst_MD5 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rfcSuite_data();
    void rfcSuite();
    void piecesGiveSameDigest();
    void streamAndFileForms();
    void misuseIsIgnored();
};

void tst_MD5::rfcSuite_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray("") << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("a") << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("message digest")
        << QByteArray("message digest") << QByteArray("f96b697d7cb7938d525a2f31aaf161d0");
    QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                              << QByteArray("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("alphanumeric")
        << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
        << QByteArray("d174ab98d277d9f5a5611c2c9f419d9f");
    QTest::newRow("digits") << QByteArray("1234567890123456789012345678901234567890"
                                          "1234567890123456789012345678901234567890")
                            << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
}

void tst_MD5::rfcSuite()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);

    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(input.constData()),
               static_cast<unsigned int>(input.size()));
    md5.finalize();
    QCOMPARE(QByteArray::fromStdString(md5.hex_digest()), digest);
    QCOMPARE(md5.raw_digest().toHex(), digest);
    QCOMPARE(QByteArray::fromStdString(MD5::HexDigestOf(input.toStdString())), digest);
}

void tst_MD5::piecesGiveSameDigest()
{
    QByteArray message;
    for (int i = 0; i < 300; ++i)
        message += char('a' + i % 26);
    const std::string whole = MD5::HexDigestOf(message.toStdString());

    for (int piece : {1, 63, 64, 65}) {
        MD5 md5;
        for (int at = 0; at < message.size(); at += piece) {
            const int n = qMin(piece, int(message.size()) - at);
            md5.update(reinterpret_cast<const unsigned char*>(message.constData() + at),
                       static_cast<unsigned int>(n));
        }
        md5.finalize();
        QCOMPARE(md5.hex_digest(), whole);
    }
}

void tst_MD5::streamAndFileForms()
{
    // More than one 1024-byte chunk.
    const std::string data(2500, 'm');
    const std::string expected = MD5::HexDigestOf(data);

    std::istringstream in(data);
    MD5 fromStream(in);
    QCOMPARE(fromStream.hex_digest(), expected);

    FILE* file = std::tmpfile();
    QVERIFY(file);
    QCOMPARE(std::fwrite(data.data(), 1, data.size(), file), data.size());
    std::rewind(file);
    MD5 fromFile(file); // closes the file
    QCOMPARE(fromFile.hex_digest(), expected);

    std::ostringstream out;
    out << fromFile;
    QCOMPARE(out.str(), expected);
}

void tst_MD5::misuseIsIgnored()
{
    MD5 md5;
    QVERIFY(md5.hex_digest().empty());
    QVERIFY(md5.raw_digest().isEmpty());
    std::ostringstream out;
    out << md5;
    QVERIFY(out.fail());

    md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    md5.finalize();
    md5.update(reinterpret_cast<const unsigned char*>("more"), 4);
    md5.finalize();
    QCOMPARE(md5.hex_digest(), std::string("900150983cd24fb0d6963f7d28e17f72"));

    md5.init();
    md5.finalize();
    QCOMPARE(md5.hex_digest(), std::string("d41d8cd98f00b204e9800998ecf8427e"));
}

QTEST_APPLESS_MAIN(tst_MD5)
#include "tst_md5.moc"
