// The system check's helper (scripts/system-check.sh runs it inside the check's own network
// namespace). One program, four jobs:
//   systemcheck seed STORE USER          a store file with that login and UPnP off
//   systemcheck serve PORT USER SECONDS  the fake central server on 127.0.0.1:PORT: takes the
//                                        client's login, checks the user, accepts it, waits for
//                                        the listening ports, then for the client to log out
//   systemcheck screenshot FILE          the X display's screen, saved as a PNG
//   systemcheck verify STORE USER        the saved store file loads, with the login in it
// Each line it prints that starts with "ok " or "FAIL " is one check; it exits 1 after a FAIL.

#include "engine/Engine.h"
#include "server/ServerCodes.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/FakeServer.h"
#include "support/WireBytes.h"

#include <QGuiApplication>
#include <QHostAddress>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>

#include <cstdio>

namespace {

int Report(bool ok, const QString& what)
{
    std::printf("%s %s\n", ok ? "ok" : "FAIL", qPrintable(what));
    std::fflush(stdout);
    return ok ? 0 : 1;
}

int Seed(const QString& store, const QByteArray& user)
{
    DataSaver saver;
    Settings::CreateData(saver);
    Settings::Set(SettingKeys::Username, user.toStdString());
    Settings::Set(SettingKeys::Password, "system check");
    Settings::Set(SettingKeys::UseUpnp, "no");
    return Report(saver.Save(store), "store file seeded with the user " + QString::fromUtf8(user));
}

int Serve(quint16 port, const QByteArray& user, int seconds)
{
    const int waitMs = seconds * 1000;
    FakeServer server(QHostAddress(QHostAddress::LocalHost), port);
    if (Report(server.isListening(), QStringLiteral("fake server listening on port %1").arg(port)))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    if (Report(server.waitForConnection(waitMs), QStringLiteral("the client connected")))
        return 1;
    QByteArray login;
    const qint64 code = server.nextMessage(&login, waitMs);
    WireReader reader(login);
    const QByteArray name = reader.str();
    if (Report(code == ServerCode::Login && name == user,
               QStringLiteral("login of the stored user (%1)").arg(QString::fromUtf8(name))))
        return 1;
    server.sendFrame(
        WireWriter().u32(ServerCode::Login).u8(1).str("Welcome").u32(0x0100007f).str("check"));
    // After the accept, among the client's first frames: its listening ports, plain and
    // scrambled.
    const QByteArray ports = hexBytes("02000000 bb080000 01000000 bc080000");
    bool seen = false;
    for (QByteArray frame = server.nextFrame(waitMs); !frame.isNull() && !seen;
         frame = seen ? QByteArray() : server.nextFrame(waitMs))
        seen = frame == ports;
    if (Report(seen, QStringLiteral("frame 10000000 02000000 bb080000 01000000 bc080000")))
        return 1;
    std::printf("logged in\n");
    std::fflush(stdout);
    return Report(server.waitForClientClosed(waitMs), QStringLiteral("the client logged out"));
}

int Screenshot(const QString& file)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (Report(screen != nullptr, QStringLiteral("a screen to take")))
        return 1;
    const QImage image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 2; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width() && colours.size() < 2; ++x)
            colours.insert(line[x]);
    }
    if (Report(image.save(file), "screenshot saved as " + file))
        return 1;
    return Report(colours.size() > 1, QStringLiteral("the screen shows more than one colour"));
}

int Verify(const QString& store, const QByteArray& user)
{
    EngineOptions options;
    options.peerMessenger = false;
    Engine engine(options);
    if (Report(engine.Load(store), "the saved store file loads: " + store))
        return 1;
    return Report(Settings::Text(SettingKeys::Username) == user.toStdString() &&
                      Settings::Text(SettingKeys::DataVersion) == "1",
                  QStringLiteral("it holds the login and the data version"));
}

} // namespace

int main(int argc, char** argv)
{
    const QByteArray job = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (job == "screenshot" && argc == 3) {
        QGuiApplication application(argc, argv);
        return Screenshot(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication application(argc, argv);
    if (job == "seed" && argc == 4)
        return Seed(QString::fromLocal8Bit(argv[2]), argv[3]);
    if (job == "serve" && argc == 5)
        return Serve(quint16(QByteArray(argv[2]).toUInt()), argv[3], QByteArray(argv[4]).toInt());
    if (job == "verify" && argc == 4)
        return Verify(QString::fromLocal8Bit(argv[2]), argv[3]);
    std::fprintf(stderr, "usage: systemcheck seed STORE USER | serve PORT USER SECONDS | "
                         "screenshot FILE | verify STORE USER\n");
    return 2;
}
