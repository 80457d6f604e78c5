// Two whole clients, alice and bob, each an engine_host process with a home of its own, logged in
// at one RelayServer: a search, a share list and two downloads travelling between them, the
// second across alice being killed, and alice's store file across the restarts.
//
// The test functions run in order and share the two clients: each step starts from where the
// one before left them.

#include "support/RelayServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Generous: two sanitized processes on a loaded machine. Nothing waits this long on success.
constexpr int kWaitMs = 60000;

constexpr qint64 kOneSize = 1024 * 1024;
constexpr qint64 kTwoSize = 8 * 1024 * 1024;

// One engine_host process: its home, its command lines and the events it reported.
class Host
{
public:
    Host(const QByteArray& user, const QString& home) : m_user(user), m_home(home)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { ReadLines(); });
        // Its log and any sanitizer report show in the test's output.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~Host()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

    const QString& Home() const { return m_home; }

    // Starts the host and waits until it has loaded its store file and logged in. The lines it
    // reported on the way stay to be taken.
    bool Start(quint16 serverPort)
    {
        m_lines.clear();
        m_buffer.clear();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home);
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(QV_ENGINE_HOST),
                        {QString::number(serverPort), QString::fromUtf8(m_user)});
        return m_process.waitForStarted(kWaitMs) && Has({"listening"}) && Has({"connected"});
    }

    void Send(const QStringList& fields) { m_process.write(fields.join('\t').toUtf8() + '\n'); }

    // The first reported line not taken yet whose fields begin with head, waiting for it; it is
    // taken. Empty when none came.
    QStringList Take(const QStringList& head, int timeoutMs = kWaitMs)
    {
        const auto arrivedOrEnded = [&] { return Find(head) >= 0 || !Running(); };
        if (!QTest::qWaitFor(arrivedOrEnded, timeoutMs))
            return QStringList();
        ReadLines(); // the last lines of a host that has just ended
        const int at = Find(head);
        return at < 0 ? QStringList() : m_lines.takeAt(at);
    }
    bool Has(const QStringList& head) { return !Take(head).isEmpty(); }
    // Every line already reported whose fields begin with head, in order; all are taken.
    QList<QStringList> TakeAll(const QStringList& head)
    {
        QList<QStringList> taken;
        for (int at; (at = Find(head)) >= 0;)
            taken << m_lines.takeAt(at);
        return taken;
    }

    // The normal shutdown, as the end of input asks for it: true when the store file was saved
    // and the process ended cleanly (a sanitizer report would make its exit code non-zero).
    bool Quit()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(kWaitMs))
            return false;
        ReadLines();
        return Has({"saved", "ok"}) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }

    // SIGKILL: nothing of the host's own shutdown runs.
    bool Kill()
    {
        m_process.kill();
        return m_process.waitForFinished(kWaitMs) && m_process.exitStatus() == QProcess::CrashExit;
    }

    bool Running() const { return m_process.state() != QProcess::NotRunning; }

private:
    void ReadLines()
    {
        m_buffer += m_process.readAllStandardOutput();
        for (qsizetype end; (end = m_buffer.indexOf('\n')) >= 0;) {
            m_lines << QString::fromUtf8(m_buffer.left(end)).split('\t');
            m_buffer.remove(0, end + 1);
        }
    }

    int Find(const QStringList& head) const
    {
        for (int i = 0; i < m_lines.size(); ++i) {
            if (m_lines[i].mid(0, head.size()) == head)
                return i;
        }
        return -1;
    }

    QByteArray m_user;
    QString m_home;
    QProcess m_process;
    QByteArray m_buffer;
    QList<QStringList> m_lines;
};

// A file of random bytes.
bool WriteRandom(const QString& path, qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == size;
}

// The files below folder whose names match, at any depth.
QStringList FilesBelow(const QString& folder, const QString& name = QStringLiteral("*"))
{
    QStringList found;
    QDirIterator it(folder, {name}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

// The one file of that name below folder, or an empty path.
QString FindFile(const QString& folder, const QString& name)
{
    const QStringList found = FilesBelow(folder, name);
    return found.size() == 1 ? found.first() : QString();
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 SizeOf(const QString& path)
{
    return QFileInfo(path).size();
}

// Whether wanted appear in seen in that order, other entries allowed between them.
bool InOrder(const QStringList& seen, const QStringList& wanted)
{
    qsizetype at = 0;
    for (const QString& one : wanted) {
        at = seen.indexOf(one, at);
        if (at < 0)
            return false;
        ++at;
    }
    return true;
}

// A local path as peers write it.
QString PeerPath(QString local)
{
    return local.replace('/', '\\');
}

} // namespace

class tst_EngineE2E : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void searchReachesTheShares();
    void browseListsTheSharedFolder();
    void downloadIsByteIdentical();
    void downloadResumesAfterKill();
    void thirdStartListsTheFinishedDownloads();
    void cleanupTestCase();

private:
    QString Shared() const { return m_bobHome.filePath(QStringLiteral("share")); }
    QString AliceDownloads(const char* subfolder) const
    {
        return m_aliceHome.filePath(QStringLiteral("Quorvale Downloads/")) +
               QLatin1String(subfolder);
    }
    // What alice and bob call a file of the share in their events.
    QStringList Download(const char* event, const QString& name) const
    {
        return {QLatin1String(event), "bob", PeerPath(Shared()), name};
    }
    QStringList Upload(const QString& name) const
    {
        return {"upload-status", "alice", PeerPath(Shared() + '/' + name)};
    }

    RelayServer m_relay;
    QTemporaryDir m_aliceHome;
    QTemporaryDir m_bobHome;
    std::unique_ptr<Host> m_alice;
    std::unique_ptr<Host> m_bob;
};

void tst_EngineE2E::initTestCase()
{
    QVERIFY(m_relay.isListening());
    QVERIFY(m_aliceHome.isValid());
    QVERIFY(m_bobHome.isValid());
    QVERIFY(QDir().mkpath(Shared()));
    QVERIFY(WriteRandom(Shared() + QStringLiteral("/quorvale-one.bin"), kOneSize, 1));
    QVERIFY(WriteRandom(Shared() + QStringLiteral("/quorvale-two.bin"), kTwoSize, 2));

    m_bob = std::make_unique<Host>("bob", m_bobHome.path());
    QVERIFY(m_bob->Start(m_relay.port()));
    QCOMPARE(m_bob->Take({"loaded"}), QStringList({"loaded", "ok"}));
    m_bob->Send({"share", Shared()});
    QVERIFY(m_bob->Has({"shared", Shared()}));

    m_alice = std::make_unique<Host>("alice", m_aliceHome.path());
    QVERIFY(m_alice->Start(m_relay.port()));
    QCOMPARE(m_alice->Take({"loaded"}), QStringList({"loaded", "ok"}));
}

void tst_EngineE2E::searchReachesTheShares()
{
    m_alice->Send({"search", "quorvale"});
    const QStringList searching = m_alice->Take({"searching"});
    QCOMPARE(searching.value(2), QStringLiteral("quorvale"));
    const QString token = searching.value(1);

    const QList<QStringList> results = {m_alice->Take({"result", token}),
                                        m_alice->Take({"result", token})};
    QCOMPARE(QSet<QStringList>(results.begin(), results.end()),
             QSet<QStringList>({{"result", token, "bob", PeerPath(Shared()), "quorvale-one.bin",
                                 QString::number(kOneSize)},
                                {"result", token, "bob", PeerPath(Shared()), "quorvale-two.bin",
                                 QString::number(kTwoSize)}}));
    QCOMPARE(m_alice->TakeAll({"result"}), QList<QStringList>());
}

void tst_EngineE2E::browseListsTheSharedFolder()
{
    m_alice->Send({"browse", "bob"});
    QCOMPARE(m_alice->Take({"share-list", "bob"}), QStringList({"share-list", "bob", "1", "2"}));
    const QList<QStringList> files = m_alice->TakeAll({"share-file"});
    QCOMPARE(files, QList<QStringList>({{"share-file", "bob", PeerPath(Shared()),
                                         "quorvale-one.bin", QString::number(kOneSize)},
                                        {"share-file", "bob", PeerPath(Shared()),
                                         "quorvale-two.bin", QString::number(kTwoSize)}}));
}

void tst_EngineE2E::downloadIsByteIdentical()
{
    const QString name = QStringLiteral("quorvale-one.bin");
    m_alice->Send(Download("download", name) << QString::number(kOneSize));
    QCOMPARE(m_alice->Take(Download("download-start", name)).value(4), QStringLiteral("0"));
    QCOMPARE(m_alice->Take({"complete", "bob"}).mid(3),
             QStringList({name, QString::number(kOneSize)}));

    // The uploader ends once alice has closed the connection after the last byte.
    QVERIFY(m_bob->Has(Upload(name) << "complete"));
    QStringList statuses;
    for (const QStringList& line : m_bob->TakeAll(Upload(name)))
        statuses << line.value(3);
    statuses << QStringLiteral("complete");
    QVERIFY2(InOrder(statuses, {"requesting", "uploading", "complete"}),
             qPrintable(statuses.join(", ")));

    const QString finished = FindFile(AliceDownloads("complete"), name);
    QVERIFY(!finished.isEmpty());
    QCOMPARE(SizeOf(finished), kOneSize);
    QVERIFY(Contents(finished) == Contents(Shared() + '/' + name));
}

void tst_EngineE2E::downloadResumesAfterKill()
{
    const QString name = QStringLiteral("quorvale-two.bin");
    m_bob->Send({"limit", "1024"});
    QCOMPARE(m_bob->Take({"limited"}), QStringList({"limited", "1024"}));

    m_alice->Send(Download("download", name) << QString::number(kTwoSize));
    QVERIFY(m_alice->Has(Download("download-status", name) << "queued"));
    m_alice->Send({"save"});
    QCOMPARE(m_alice->Take({"saved"}), QStringList({"saved", "ok"}));
    QCOMPARE(m_alice->Take(Download("download-start", name)).value(4), QStringLiteral("0"));

    // At 1 MiB/s the kill comes seconds before the end.
    QString partial;
    QVERIFY(QTest::qWaitFor(
        [&] {
            partial = FindFile(AliceDownloads("downloading"), name);
            return !partial.isEmpty() && SizeOf(partial) >= 2 * 1024 * 1024;
        },
        kWaitMs));
    QVERIFY(m_alice->Kill());
    const qint64 kept = SizeOf(partial);
    QVERIFY2(kept < kTwoSize, "the download ended before the kill");

    // The store file of the last save loads as it is: nothing is moved aside.
    QVERIFY(m_alice->Start(m_relay.port()));
    QCOMPARE(m_alice->Take({"loaded"}), QStringList({"loaded", "ok"}));
    const QStringList aside =
        QDir(m_aliceHome.path())
            .entryList({QStringLiteral(".Quorvale*")}, QDir::Files | QDir::Hidden);
    QCOMPARE(aside, QStringList({".Quorvale"}));
    QCOMPARE(m_alice->Take(Download("entry", name)).value(4), QStringLiteral("queued"));

    // The partial file is where it was and the peer is asked for the rest of it.
    QCOMPARE(m_alice->Take(Download("download-start", name)).value(4), QString::number(kept));
    QCOMPARE(m_alice->Take({"complete", "bob"}).mid(3),
             QStringList({name, QString::number(kTwoSize)}));
    const QString finished = FindFile(AliceDownloads("complete"), name);
    QVERIFY(!finished.isEmpty());
    QCOMPARE(SizeOf(finished), kTwoSize);
    QVERIFY(Contents(finished) == Contents(Shared() + '/' + name));
}

void tst_EngineE2E::thirdStartListsTheFinishedDownloads()
{
    QVERIFY(m_alice->Quit());
    QVERIFY(m_alice->Start(m_relay.port()));
    QCOMPARE(m_alice->Take({"loaded"}), QStringList({"loaded", "ok"}));
    QCOMPARE(m_alice->Take({"listed"}), QStringList({"listed", "2", "2"}));

    QSet<QStringList> records;
    for (const QStringList& record : m_alice->TakeAll({"record", "bob"}))
        records << record.mid(3);
    QCOMPARE(records, QSet<QStringList>({{"quorvale-one.bin", QString::number(kOneSize)},
                                         {"quorvale-two.bin", QString::number(kTwoSize)}}));
    for (const QStringList& entry : m_alice->TakeAll({"entry"}))
        QCOMPARE(entry.value(4), QStringLiteral("complete"));
    // No partial file is left behind.
    QCOMPARE(FilesBelow(AliceDownloads("downloading")), QStringList());
}

void tst_EngineE2E::cleanupTestCase()
{
    // Both end cleanly, each saving its store file, and the relay sees every client go.
    if (m_alice)
        QVERIFY(m_alice->Quit());
    if (m_bob)
        QVERIFY(m_bob->Quit());
    QTRY_COMPARE_WITH_TIMEOUT(m_relay.connectionCount(), 0, kWaitMs);
    m_relay.stop();
    QVERIFY(!m_relay.isListening());
}

QTEST_GUILESS_MAIN(tst_EngineE2E)
#include "tst_engine_e2e.moc"
