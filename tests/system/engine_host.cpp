// A headless client for system tests: the whole engine, built through the composition root as
// start-up builds it (no window), driven by lines on stdin and reporting on stdout.
//
//   engine_host <server port> <user name>
//
// The store file and the download folder are under HOME. The client logs in as <user name>
// (password "secret") at 127.0.0.1:<server port> and listens on loopback ports the system picks.
//
// Every line is a list of fields separated by tabs. Commands:
//   share <folder>                          share a folder with everyone (and scan it)
//   search <text>                           search the network
//   browse <user>                           ask a user for their share list
//   download <user> <folder> <name> <size>  download a file a search or share list named
//   limit <KiB/s>                           the upload speed limit (0: none)
//   save                                    save the store file now
//   list                                    the downloads and finished-download records
//   quit                                    the normal shutdown; so does the end of input
// Events:
//   loaded ok|failed                        the store file at start
//   listening <port> <scrambled port>
//   connected | disconnected | connection-failed <reason>
//   shared <folder>
//   searching <token> <text>
//   result <token> <user> <folder> <name> <size>
//   share-file <user> <folder> <name> <size>   one per file of a share list, then
//   share-list <user> <folders> <files>
//   download-status <user> <folder> <name> <status>
//   download-start <user> <folder> <name> <offset>   the write position as the transfer starts
//   upload-status <user> <path> <status>
//   complete <user> <relative folder> <name> <size>
//   entry <user> <folder> <name> <status>   one per download, then one per finished download:
//   record <user> <relative folder> <name> <size>, then
//   listed <downloads> <records>            the answer to list, also given once after the load
//   limited <KiB/s>                         the limit in force
//   saved ok|failed
//   error <text>
// Log lines go to stderr, prefixed with the user name.

#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "support/ScriptedUpnp.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Fields = std::vector<std::string>;

void Emit(const Fields& fields)
{
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty())
            line += '\t';
        line += field;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

Fields Split(const std::string& line)
{
    Fields fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

std::string N(qint64 number)
{
    return std::to_string(number);
}

class Host : public QObject, public DataHandler
{
public:
    Host(quint16 serverPort, const std::string& user) : m_user(user)
    {
        QObject::connect(LogHub::Instance(), &LogHub::LineLogged, this,
                         [this](const QString& category, const QString& line) {
                             std::fprintf(stderr, "[%s] %s: %s\n", m_user.c_str(),
                                          qPrintable(category), qPrintable(line));
                         });

        EngineOptions options;
        options.localServerPort = serverPort;
        options.loopbackListeners = true;
        m_engine = std::make_unique<Engine>(options);
        Emit({"loaded", m_engine->Load(Engine::StoreFilePath()) ? "ok" : "failed"});
        List();
        Watch();

        PeerMessenger* peer = m_engine->peer();
        Emit({"listening", N(peer->ListeningPort()), N(peer->ObfuscatedListeningPort())});

        // As the user name dialog leaves them on a first run.
        Settings::Set(SettingKeys::Username, m_user);
        Settings::Set(SettingKeys::Password, "secret");
        m_engine->server().Connect();
        m_engine->shares()->Init();

        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        QObject::connect(m_stdin, &QSocketNotifier::activated, this, &Host::ReadInput);
    }

private:
    void Watch()
    {
        Server& server = m_engine->server();
        QObject::connect(&server, &Server::Connected, this, [] { Emit({"connected"}); });
        QObject::connect(&server, &Server::Disconnected, this, [] { Emit({"disconnected"}); });
        QObject::connect(&server, &Server::ConnectionFailed, this, [](const std::string& why) {
            Emit({"connection-failed", why});
        });
        QObject::connect(m_engine->peer(), &PeerMessenger::SearchResults, this,
                         &Host::OnSearchResults);
        QObject::connect(m_engine->peer(), &PeerMessenger::UserShare, this, &Host::OnUserShare);
        QObject::connect(m_engine->transfers(), &TransferQueueManager::CompleteDownloadAdded, this,
                         [](ItemPtr record) { Emit(Record("complete", record)); });

        using namespace TransfersTypes;
        auto* download = new PathNode(&d, DownloadEntry);
        new PathNode(download, DownloadEntryStatus, PathConnected);
        d.AddPathEventHandler(download, NewEventHandler(this, &Host::OnDownloadStatus));
        auto* upload = new PathNode(&d, UploadEntry);
        new PathNode(upload, UploadEntryStatus, PathConnected);
        d.AddPathEventHandler(upload, NewEventHandler(this, &Host::OnUploadStatus));
    }

    void ReadInput()
    {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            Quit();
            return;
        }
        m_input.append(buffer, size_t(got));
        size_t end;
        while (m_engine && (end = m_input.find('\n')) != std::string::npos) {
            const std::string line = m_input.substr(0, end);
            m_input.erase(0, end + 1);
            Run(Split(line));
        }
    }

    void Run(const Fields& command)
    {
        const std::string& name = command[0];
        if (name == "share" && command.size() == 2) {
            // As the add-folder dialog makes it: the shares scan the folder as it appears.
            ItemPtr root = d.GetType(SharesTypes::SharedFolder)->GetItem(Value(command[1]));
            root.NewItem(SharesTypes::SharedPublic);
            Emit({"shared", command[1]});
        } else if (name == "search" && command.size() == 2) {
            Emit({"searching", N(m_engine->server().FileSearch(command[1])), command[1]});
        } else if (name == "browse" && command.size() == 2) {
            m_engine->peer()->GetUserSharedFiles(command[1]);
        } else if (name == "download" && command.size() == 5) {
            m_engine->transfers()->AddDownload(command[1], command[3], command[2],
                                               std::strtoll(command[4].c_str(), nullptr, 10), 0);
        } else if (name == "limit" && command.size() == 2) {
            // As the transfers page does: a limit other than 0 switches the limit on.
            const int limit = std::atoi(command[1].c_str());
            TransferQueueManager* transfers = m_engine->transfers();
            transfers->EnableUploadSpeedLimit(limit != 0);
            transfers->SetUploadSpeedLimit(limit);
            Emit({"limited", N(transfers->GetUploadSpeed())});
        } else if (name == "save" && command.size() == 1) {
            Emit({"saved", m_engine->saver().Save(Engine::StoreFilePath()) ? "ok" : "failed"});
        } else if (name == "list" && command.size() == 1) {
            List();
        } else if (name == "quit" && command.size() == 1) {
            Quit();
        } else {
            Emit({"error", "unknown command " + name});
        }
    }

    void Quit()
    {
        if (!m_engine)
            return;
        m_stdin->setEnabled(false);
        const bool saved = m_engine->Shutdown(Engine::StoreFilePath());
        Emit({"saved", saved ? "ok" : "failed"});
        m_engine.reset();
        QCoreApplication::exit(saved ? 0 : 1);
    }

    void List()
    {
        using namespace TransfersTypes;
        const ItemSet downloads = d.GetType(DownloadEntry)->GetItems();
        for (ItemPtr entry : downloads)
            Emit(Download("entry", entry, entry[DownloadEntryStatus].AsString()));
        const ItemSet records = d.GetType(CompleteDownload)->GetItems();
        for (ItemPtr record : records)
            Emit(Record("record", record));
        Emit({"listed", N(qint64(downloads.size())), N(qint64(records.size()))});
    }

    static Fields Download(const char* event, ItemPtr entry, const std::string& last)
    {
        using namespace TransfersTypes;
        return {event, entry[ServerTypes::User].AsString(), entry[RemoteFolder].AsString(),
                entry[FileName].AsString(), last};
    }

    static Fields Record(const char* event, ItemPtr record)
    {
        using namespace TransfersTypes;
        return {event, record[ServerTypes::User].AsString(),
                record[CompleteDownloadRelativeFolder].AsString(),
                record[CompleteDownloadFilename].AsString(),
                record[CompleteDownloadFileSize].AsString()};
    }

    void OnDownloadStatus(Item* item)
    {
        using namespace TransfersTypes;
        ItemPtr entry(item);
        const std::string status = entry[DownloadEntryStatus].AsString();
        Emit(Download("download-status", entry, status));
        // The position object is linked before the status turns to downloading.
        if (status == TransferStatus::Downloading) {
            const auto* position = entry[WritePosition].AsPointer<qint64>();
            Emit(Download("download-start", entry, position ? N(*position) : "none"));
        }
    }

    void OnUploadStatus(Item* item)
    {
        using namespace TransfersTypes;
        ItemPtr entry(item);
        Emit({"upload-status", entry[ServerTypes::User].AsString(),
              entry[FilenameAsRequested].AsString(), entry[UploadEntryStatus].AsString()});
    }

    void OnSearchResults(ItemPtr results)
    {
        const std::string token = results[PeerTypes::SearchRequest].AsString();
        const std::string user = results[ServerTypes::User].AsString();
        for (ItemPtr result : results.GetItems(PeerTypes::SearchResult)) {
            Emit({"result", token, user, result[PeerTypes::SearchResultFileFolder].AsString(),
                  result[PeerTypes::SearchResultFileName].AsString(),
                  result[PeerTypes::FileSize].AsString()});
        }
    }

    void OnUserShare(const std::string& user, const FileInfoMap& folders,
                     const AttributeTranslationTable&)
    {
        qint64 files = 0;
        for (const auto& [folder, infos] : folders) {
            for (const FileInfo& info : infos) {
                Emit({"share-file", user, folder, info.name, N(info.size)});
                ++files;
            }
        }
        Emit({"share-list", user, N(qint64(folders.size())), N(files)});
    }

    std::string m_user;
    std::unique_ptr<Engine> m_engine;
    QSocketNotifier* m_stdin = nullptr;
    std::string m_input;
};

// Qt's own warnings, with the user name too, so that two hosts' output can be told apart.
std::string g_user;

void PrintQtMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::fprintf(stderr, "[%s] Qt: %s\n", g_user.c_str(), qPrintable(message));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: engine_host <server port> <user name>\n");
        return 2;
    }
    g_user = argv[2];
    qInstallMessageHandler(PrintQtMessage);
    // Gateway discovery goes to this stand-in, never to the network.
    ScriptedUpnp upnp;
    Host host(quint16(std::atoi(argv[1])), argv[2]);
    return app.exec();
}
