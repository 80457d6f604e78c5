#include "peer/PeerListener.h"
#include "support/FakePeer.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

// The listening port of the peer connection manager, on its own: which ports it can have.
// Running out of descriptors is covered by tst_acceptflood.
class tst_PeerListener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusedPorts_data();
    void refusedPorts();
    void portOfClosedConnectionsCanBeHadAgain();
};

void tst_PeerListener::refusedPorts_data()
{
    QTest::addColumn<QHostAddress>("wanted");
    QTest::addColumn<bool>("held"); // the port another listener holds; else any free one
    // Two clients sharing a port would each get some of the connections meant for the other.
    QTest::newRow("held port, same address") << QHostAddress(QHostAddress::LocalHost) << true;
    QTest::newRow("held port, every address") << QHostAddress(QHostAddress::AnyIPv4) << true;
    // Read as IPv4 it would be 0.0.0.0: every address instead of the one asked for.
    QTest::newRow("IPv6 loopback") << QHostAddress(QHostAddress::LocalHostIPv6) << false;
    QTest::newRow("no address") << QHostAddress() << false;
}

void tst_PeerListener::refusedPorts()
{
    QFETCH(QHostAddress, wanted);
    QFETCH(bool, held);
    PeerListener holder;
    QVERIFY(holder.Listen(QHostAddress::LocalHost, 0));
    PeerListener second;
    QVERIFY(!second.Listen(wanted, held ? holder.Port() : 0));
    QVERIFY(!second.IsListening());
    QCOMPARE(second.Port(), quint16(0));

    // The holder goes on taking its connections.
    QSignalSpy accepted(&holder, &PeerListener::Accepted);
    FakePeer peer;
    QVERIFY(peer.ConnectTo(holder.Port()));
    QTRY_COMPARE(accepted.size(), 1);
}

void tst_PeerListener::portOfClosedConnectionsCanBeHadAgain()
{
    // The client restarted: connections it closed last time still wait out their time on its
    // port, and the port must be had again at once all the same.
    quint16 port = 0;
    {
        PeerListener before;
        QVERIFY(before.Listen(QHostAddress::LocalHost, 0));
        port = before.Port();
        QTcpSocket* taken = nullptr;
        connect(&before, &PeerListener::Accepted, this, [&taken](QTcpSocket* s) { taken = s; });
        FakePeer peer;
        QVERIFY(peer.ConnectTo(port));
        QTRY_VERIFY(taken);
        QCOMPARE(taken->state(), QAbstractSocket::ConnectedState);
        // We close first, so that our side is the one left waiting.
        taken->disconnectFromHost();
        QVERIFY(peer.WaitForDisconnected());
        peer.Close();
    }
    PeerListener after;
    QVERIFY(after.Listen(QHostAddress::LocalHost, port));
    QCOMPARE(after.Port(), port);
}

QTEST_GUILESS_MAIN(tst_PeerListener)
#include "tst_peerlistener.moc"
