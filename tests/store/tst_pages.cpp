// Faulting in a load's blocks ahead of their first write: only whole pages inside the block are
// asked for, at once or by the worker, no byte changes, and a range the process does not have
// is refused without harm.

#include "store/Pages.h"

#include <QtTest>

#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

const size_t kPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));

// Which of the block's first pages are in memory, as "0" and "1" a page.
QString Resident(char* block, size_t pages)
{
    std::vector<unsigned char> in(pages);
    if (::mincore(block, pages * kPage, in.data()) != 0)
        return QStringLiteral("mincore failed");
    QString out;
    for (unsigned char c : in)
        out += (c & 1) ? QLatin1Char('1') : QLatin1Char('0');
    return out;
}

} // namespace

class tst_Pages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void wholePagesInsideOnly_data();
    void wholePagesInsideOnly();
};

void tst_Pages::initTestCase()
{
    void* probe = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    QVERIFY(probe != MAP_FAILED);
    const bool supported = storeimpl::PopulatePages(probe, kPage);
    ::munmap(probe, kPage);
    if (!supported)
        QSKIP("this kernel cannot populate a range in one request");
}

void tst_Pages::wholePagesInsideOnly_data()
{
    // A block of six pages, or of 4 MiB where the worker takes it in several steps; page 0
    // holds written bytes, the rest were never touched. The range is given in bytes from the
    // block's start; the last two pages are unmapped first where it says so.
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("pages");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("populated");
    QTest::addColumn<QString>("resident");
    const qint64 p = qint64(kPage);
    QTest::newRow("whole pages") << "now" << 6 << p << 3 * p << true << "111100";
    QTest::newRow("cut at both ends") << "now" << 6 << p + 1 << 3 * p << true << "101100";
    QTest::newRow("one byte short of a page") << "now" << 6 << p << p - 1 << false << "100000";
    QTest::newRow("across a boundary, no whole page") << "now" << 6 << 2 * p - 8 << p << false
                                                      << "100000";
    QTest::newRow("none") << "now" << 6 << p << qint64(0) << false << "100000";
    QTest::newRow("not asked for") << "disabled" << 6 << p << 3 * p << false << "100000";
    QTest::newRow("no longer mapped") << "unmapped" << 6 << 4 * p << 2 * p << false << "1000";
    QTest::newRow("by the worker, cut at both ends") << "soon" << 6 << p + 1 << 4 * p << false
                                                     << "101110";
    const int many = int((size_t(4) << 20) / kPage);
    QTest::newRow("by the worker, in steps, cut at both ends")
        << "soon" << many << p + 1 << (many - 2) * p << false
        << "10" + QString(many - 3, QLatin1Char('1')) + "0";
    QTest::newRow("by the worker, a block freed meanwhile") << "soon, unmapped" << 6 << 4 * p
                                                            << 2 * p << false << "1000";
}

void tst_Pages::wholePagesInsideOnly()
{
    QFETCH(QString, how);
    QFETCH(int, pages);
    QFETCH(qint64, from);
    QFETCH(qint64, bytes);
    QFETCH(bool, populated);
    QFETCH(QString, resident);
    const size_t size = size_t(pages) * kPage;
    char* block = static_cast<char*>(
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    QVERIFY(block != MAP_FAILED);
    // Page by page: a huge page would bring in the pages around the range with it.
    ::madvise(block, size, MADV_NOHUGEPAGE);
    for (size_t k = 0; k < kPage; ++k)
        block[k] = static_cast<char>(k * 7 + 1);
    // The last two pages go back to the system; populating them must not bring them back.
    if (how.endsWith(QLatin1String("unmapped")))
        QCOMPARE(::munmap(block + size - 2 * kPage, 2 * kPage), 0);
    char* begin = block + from;
    if (how == QLatin1String("now") || how == QLatin1String("unmapped")) {
        QCOMPARE(storeimpl::PopulatePages(begin, size_t(bytes)), populated);
    } else if (how == QLatin1String("disabled")) {
        const bool before = storeimpl::SetPagePopulation(false);
        QCOMPARE(storeimpl::PopulatePages(begin, size_t(bytes)), populated);
        storeimpl::SetPagePopulation(before);
    } else {
        storeimpl::PopulationScope scope;
        storeimpl::PopulateSoon(begin, size_t(bytes));
    }
    const size_t mapped = size_t(resident.size());
    QCOMPARE(Resident(block, mapped), resident);
    for (size_t k = 0; k < kPage; ++k)
        QCOMPARE(block[k], static_cast<char>(k * 7 + 1));
    for (size_t k = kPage; k < mapped * kPage; ++k) {
        if (block[k] != 0)
            QFAIL(qPrintable(QStringLiteral("byte %1 changed").arg(k)));
    }
    ::munmap(block, mapped * kPage);
}

QTEST_GUILESS_MAIN(tst_Pages)
#include "tst_pages.moc"
