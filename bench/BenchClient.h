#pragma once

// What the benchmarks of a whole client sharing a big tree have in common: the store file such a
// client saves, an engine alone loading it, the process's resident memory, and the store file
// read into a fresh buffer, as a yardstick for the load.

#include "BenchShare.h"

#include "engine/Engine.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <string>

namespace BenchClient {

// The store file of a client that shares root with everyone and has scanned it, MP3 details
// and all; its peer listeners take ports the system picks and UPnP is off. Prints the counts.
inline bool WriteSharingStore(const QString& path, const std::string& root)
{
    StoreGuard scratch;
    EngineOptions options;
    options.peerMessenger = false;
    Engine engine(options);
    Settings::Set(SettingKeys::Username, "bench");
    Settings::Set(SettingKeys::Password, "bench");
    Settings::Set(SettingKeys::ListeningPort, "0");
    Settings::Set(SettingKeys::ObfuscatedListeningPort, "0");
    Settings::Set(SettingKeys::UseUpnp, "no");
    d.GetType("shared_folder")->GetItem(root).NewItem("shared_public");
    engine.shares()->Init();
    engine.shares()->WaitForScans();
    BenchShare::WaitForMP3Details();
    std::printf("store file: %zu shared files, %zu folders\n",
                d.GetType("shared_file")->ItemCount(),
                d.GetType("shared_file_folder")->ItemCount());
    return engine.saver().Save(path);
}

// The store file loaded by the engine the window builds, without the window.
inline qint64 LoadNs(const QString& path)
{
    StoreGuard scratch;
    Engine engine;
    QElapsedTimer t;
    t.start();
    engine.Load(path);
    return t.nsecsElapsed();
}

// The same file loaded bare: the engine's types declared, none of its services built, so that
// nobody listens and no name is keyed: what the store's loader alone costs.
inline qint64 BareLoadNs(const QString& path)
{
    StoreGuard scratch;
    EngineOptions options;
    options.peerMessenger = false;
    options.distributedNetwork = false;
    options.sharedFolders = false;
    options.transferQueue = false;
    Engine engine(options);
    QElapsedTimer t;
    t.start();
    engine.Load(path);
    return t.nsecsElapsed();
}

// The file read whole from the disk into a fresh buffer (BenchShare::FreshReadNs).
inline qint64 FreshReadNs(const QString& path)
{
    return BenchShare::FreshReadNs(QFile::encodeName(path).constData());
}

using BenchShare::StatusKb;

} // namespace BenchClient
