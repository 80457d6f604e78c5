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
    QString out = ::mincore(block, pages * kPage, in.data()) == 0 ? "" : "mincore failed";
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
    // A block of six pages, or of 4 MiB that the worker takes in several steps; page 0 holds
    // written bytes, the rest were never touched. The range is in bytes from the block's start;
    // "unmapped" gives the block's last two pages back first. Resident: "1" a page in memory.
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("pages");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("resident");
    const qint64 p = qint64(kPage);
    const int many = int((size_t(4) << 20) / kPage);
    QTest::newRow("whole pages") << "now" << 6 << p << 3 * p << "111100";
    QTest::newRow("cut at both ends") << "now" << 6 << p + 1 << 3 * p << "101100";
    QTest::newRow("across a boundary, no whole page") << "now" << 6 << 2 * p - 8 << p << "100000";
    QTest::newRow("not asked for") << "disabled" << 6 << p << 3 * p << "100000";
    QTest::newRow("no longer mapped") << "now, unmapped" << 6 << 4 * p << 2 * p << "1000";
    QTest::newRow("by the worker, cut at both ends") << "soon" << 6 << p + 1 << 4 * p << "101110";
    QTest::newRow("by the worker, in steps") << "soon" << many << p + 1 << (many - 2) * p
                                             << "10" + QString(many - 3, QLatin1Char('1')) + "0";
    QTest::newRow("by the worker, freed meanwhile") << "soon, unmapped" << 6 << 4 * p << 2 * p
                                                    << "1000";
}

void tst_Pages::wholePagesInsideOnly()
{
    QFETCH(QString, how);
    QFETCH(int, pages);
    QFETCH(qint64, from);
    QFETCH(qint64, bytes);
    QFETCH(QString, resident);
    const size_t size = size_t(pages) * kPage;
    char* block = static_cast<char*>(
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    QVERIFY(block != MAP_FAILED);
    // Page by page: a huge page would bring in the pages around the range with it.
    ::madvise(block, size, MADV_NOHUGEPAGE);
    for (size_t k = 0; k < kPage; ++k)
        block[k] = static_cast<char>(k * 7 + 1);
    if (how.endsWith(QLatin1String("unmapped")))
        QCOMPARE(::munmap(block + size - 2 * kPage, 2 * kPage), 0);
    if (how.startsWith(QLatin1String("soon"))) {
        storeimpl::PopulationScope scope;
        storeimpl::PopulateSoon(block + from, size_t(bytes));
    } else {
        const bool before = storeimpl::SetPagePopulation(how != QLatin1String("disabled"));
        QCOMPARE(storeimpl::PopulatePages(block + from, size_t(bytes)), resident.count('1') > 1);
        storeimpl::SetPagePopulation(before);
    }
    const size_t mapped = size_t(resident.size());
    QCOMPARE(Resident(block, mapped), resident);
    for (size_t k = 0; k < mapped * kPage; ++k) {
        if (block[k] != (k < kPage ? static_cast<char>(k * 7 + 1) : 0))
            QFAIL(qPrintable(QStringLiteral("byte %1 changed").arg(k)));
    }
    ::munmap(block, mapped * kPage);
}

QTEST_GUILESS_MAIN(tst_Pages)
#include "tst_pages.moc"
