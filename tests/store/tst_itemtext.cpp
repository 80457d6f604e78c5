// The text an item's value is held in: inside the object, in a block of its own, or borrowed
// from a block that a load keeps.

#include "store/ItemText.h"

#include <QtTest>

#include <memory>
#include <string>
#include <vector>

class tst_ItemText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void heldAsItsLengthAsks_data();
    void heldAsItsLengthAsks();
};

void tst_ItemText::heldAsItsLengthAsks_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("borrowed");
    const QByteArray inlineMost(int(ItemText::kInlineSize), 'i');
    const QByteArray rows[] = {QByteArray(),
                               QByteArray("a"),
                               inlineMost,
                               inlineMost + 'j',
                               QByteArray("/home/user/share/music/an album/a track.mp3"),
                               QByteArray("a\0b", 3),
                               QByteArray(40, 'x') + QByteArray("\0y", 2)};
    for (const QByteArray& text : rows) {
        for (bool borrowed : {false, true})
            QTest::addRow("%d bytes%s%s", int(text.size()), text.contains('\0') ? ", a NUL" : "",
                          borrowed ? ", borrowed" : "")
                << text << borrowed;
    }
}

void tst_ItemText::heldAsItsLengthAsks()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, borrowed);
    const std::string expected = text.toStdString();
    const bool isLong = expected.size() > ItemText::kInlineSize;
    // The bytes a load would lend, a NUL after them and something after that.
    std::vector<char> lent(expected.begin(), expected.end());
    lent.push_back('\0');
    lent.push_back('!');

    std::unique_ptr<ItemText> kept;
    {
        const ItemText held = borrowed ? ItemText(ItemText::Borrow{}, lent.data(), expected.size())
                                       : ItemText(expected);
        QCOMPARE(held.size(), expected.size());
        QCOMPARE(std::string(held.View()), expected);
        QCOMPARE(held.c_str()[held.size()], '\0');
        QCOMPARE(held.empty(), expected.empty());
        // Only a long text of its own takes a block; a borrowed long one is the lent bytes.
        QCOMPARE(held.OwnsBlock(), isLong && !borrowed);
        QCOMPARE(held.data() == lent.data(), borrowed && isLong);
        QVERIFY(held == expected);
        QVERIFY(!(held != expected));
        QCOMPARE(held + "/", expected + "/");

        // A copy holds its own bytes, and so does the text a copy is assigned to.
        const ItemText copy(held);
        ItemText assigned("an earlier and longer text than most");
        assigned = held;
        const ItemText& same = assigned;
        assigned = same;
        const ItemText* others[] = {&copy, &assigned};
        for (const ItemText* other : others) {
            QCOMPARE(std::string(other->View()), expected);
            QCOMPARE(other->OwnsBlock(), isLong);
            QVERIFY(other->data() != held.data());
            QCOMPARE(other->c_str()[other->size()], '\0');
        }
        kept = std::make_unique<ItemText>(held);
    }
    std::fill(lent.begin(), lent.end(), 'z');
    QCOMPARE(std::string(kept->View()), expected);
}

QTEST_APPLESS_MAIN(tst_ItemText)
#include "tst_itemtext.moc"
