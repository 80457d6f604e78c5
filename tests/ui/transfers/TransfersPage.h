#pragma once

// The transfers page of a started client (not logged in, every user offline, so that the engine
// asks no peer for anything), with its entries made by the transfer engine.

#include "shell/MainWindowClient.h"

#include "shell/Ties.h"
#include "store/Clock.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/ProgressDelegate.h"
#include "ui/transfers/TransferRowTypes.h"
#include "ui/transfers/TransfersForm.h"

#include <QTreeWidget>

#include <memory>

struct TransfersPage
{
    // The clock is put back before the case and after it.
    struct ClockReset
    {
        ClockReset() { Clock::Reset(); }
        ~ClockReset() { Clock::Reset(); }
    };

    explicit TransfersPage(const StoredSettings& settings = {}) : client("alice", settings)
    {
        client.Start();
    }

    // The window gone, its store saved, and started again on the saved store.
    void Restart()
    {
        client.window.reset();
        StoreGuard::Reset();
        client.window = std::make_unique<MainWindow>();
        client.window->show();
        client.Start();
    }

    QTreeWidget* Downloads() const { return client.Child<QTreeWidget>("downloadsList"); }
    QTreeWidget* Uploads() const { return client.Child<QTreeWidget>("uploadsList"); }

    static ItemPtr Download(const char* user, const char* folder, const char* file,
                            qint64 size = 1000)
    {
        return transferQueueManager->AddDownload(user, file, folder, size, 0);
    }
    static void SetStatus(ItemPtr entry, const char* status)
    {
        transferQueueManager->SetDownloadEntryStatus(entry, status);
    }
    // The entry's file row, its folder row and its user row.
    static QTreeWidgetItem* Row(ItemPtr entry)
    {
        const bool upload = entry->GetType()->GetName() == TransfersTypes::UploadEntry;
        return TiedRow::FromItem(
            entry[upload ? TransferRowTypes::UploadListNode : TransferRowTypes::DownloadListNode]);
    }
    static QTreeWidgetItem* FolderRow(ItemPtr entry) { return Row(entry)->parent(); }
    static QTreeWidgetItem* UserRow(ItemPtr entry) { return FolderRow(entry)->parent(); }

    // What a running download reports: its position and speed, as the engine keeps them, then
    // its progress signal and the refresh that shows it.
    static void Report(ItemPtr entry, qint64 position, int bytesPerSecond)
    {
        if (!entry[TransfersTypes::WritePosition]) {
            TransferQueueManager::AttachObject(entry, TransfersTypes::WritePosition, new qint64(0));
            TransferQueueManager::AttachObject(entry, TransfersTypes::BytesPerSecond,
                                               new qint32(0));
        }
        *entry[TransfersTypes::WritePosition].AsPointer<qint64>() = position;
        *entry[TransfersTypes::BytesPerSecond].AsPointer<qint32>() = bytesPerSecond;
        Q_EMIT transferQueueManager->DownloadProgressed(entry);
        transfersForm->RefreshMarkedRows();
    }

    static QStringList Texts(QTreeWidgetItem* row)
    {
        QStringList texts;
        for (int column = 0; column < row->columnCount(); ++column)
            texts << row->text(column);
        return texts;
    }
    // The bar a row shows: its value (invalid for none) and text.
    static QVariant BarValue(QTreeWidgetItem* row)
    {
        const QVariant bar = row->data(TransfersForm::kProgressColumn, ProgressDelegate::kRole);
        return bar.typeId() == qMetaTypeId<ProgressBarData>()
                   ? QVariant(bar.value<ProgressBarData>().value)
                   : QVariant();
    }
    static QString BarText(QTreeWidgetItem* row)
    {
        return row->data(TransfersForm::kProgressColumn, ProgressDelegate::kRole)
            .value<ProgressBarData>()
            .text;
    }

    ClockReset clock;
    Client client;
};
