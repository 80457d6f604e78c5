// The store file's CRC-32: the value zlib gives for the same bytes, however they are cut up.

#include "store/Checksum.h"

#include <QtTest>

#include <random>
#include <vector>
#include <zlib.h>

namespace {

uint32_t Reference(uint32_t crc, const char* data, size_t size)
{
    return static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

} // namespace

class tst_Checksum : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameAsZlib_data();
    void sameAsZlib();
};

void tst_Checksum::sameAsZlib_data()
{
    // Lengths about the edges of the folded form (at least 256 bytes, taken 64 and then 16 at a
    // time, the rest byte by byte), starting off a 16-byte boundary too.
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("offset");
    for (int length : {0, 1, 15, 16, 255, 256, 257, 271, 272, 319, 320, 1000, 65536 + 13}) {
        for (int offset : {0, 3})
            QTest::addRow("%d bytes at %d", length, offset) << length << offset;
    }
}

void tst_Checksum::sameAsZlib()
{
    QFETCH(int, length);
    QFETCH(int, offset);
    std::mt19937 rng(uint32_t(length * 7 + offset));
    // One byte more, so that even no bytes have an address (zlib takes a null one to mean start).
    std::vector<char> bytes(size_t(offset + length + 1));
    for (char& c : bytes)
        c = char(rng());
    const char* data = bytes.data() + offset;
    const size_t size = size_t(length);

    const uint32_t expected = Reference(0, data, size);
    QCOMPARE(Crc32(0, data, size), expected);
    // Continued from a value, and taken in two parts cut anywhere, as a reader does.
    QCOMPARE(Crc32(0xdeadbeef, data, size), Reference(0xdeadbeef, data, size));
    for (size_t cut : {size_t(0), size / 3, size - size / 5, size}) {
        QCOMPARE(Crc32(Crc32(0, data, cut), data + cut, size - cut), expected);
    }
}

QTEST_APPLESS_MAIN(tst_Checksum)
#include "tst_checksum.moc"
