#pragma once

// The transfer engine: every download and upload of this client, kept in the store. One object
// at run time, split over files by concern:
//   TransfersSchema.cpp       the store types, their relations and what the store file keeps
//   TransferQueueManager.cpp  construction, the loaded data, teardown, the objects items stand for
//   DownloadFolders.cpp       where a download's partial and finished files go
//   UploadQueries.cpp         what a search reply tells of the uploads
//
// A download is a download_entry linked to its user, file_name, remote_folder (as the peer
// writes it, "\" between components), file_size, subfolder_save_level, download_order and
// download_entry_status. While it runs, it is also linked to its socket, file and worker thread
// and to heap values (write_position and the like): items whose values are the objects'
// addresses. Each such heap value belongs to its item and is freed when the item goes.

#include "store/Data.h"

#include <QObject>
#include <QString>

#include <string>

class DataSaver;
class TransferWorker;

class TransferQueueManager : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // Needs the server connection, the peer connection manager and the schemas of the server,
    // the peer connection manager, the shares and its own (CreateData). Build it before the
    // store file is loaded: the settings it writes are defaults that saved values replace.
    TransferQueueManager();
    // Stops every worker and frees the objects the engine's items stand for.
    ~TransferQueueManager() override;

    // Declares the store types, relations and saved types of the transfer engine.
    static void CreateData(DataSaver& saver);

    // Every unfinished download comes back "queued"; the users of downloads are tracked.
    void DataLoaded() override;

    // Download folders (DownloadFolders.cpp). Paths come in the internal form, "\" between
    // components; ToLocalPath gives the one the file system takes. Every component a peer chose
    // goes through SafePathComponent, so a path always lies below the download folder; when it
    // would not (no download folder set), the path functions give an empty string and the
    // operation that wanted it fails.
    QString GetDownloadTargetFolder(ItemPtr entry, bool complete);
    QString GetDownloadTargetPath(ItemPtr entry, bool complete);
    QString GetDownloadRelativeDownloadFolder(ItemPtr entry);
    // Whether the finished file is in place: a regular file of the entry's size.
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr entry);
    // Removes the partial file's folders that the layout made, once they are empty and no
    // download from the same remote folder still needs them.
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr entry);
    // The download_folder setting, decoded the way it is written (the file system's encoding).
    static QString DownloadFolder();
    static QString ToLocalPath(QString internal);

    // Uploads as a search reply tells of them (UploadQueries.cpp); both only read the store.
    // The uploads waiting for a slot.
    int QueuedUploadCount();
    // Whether upload_slots (read unsigned; none without the setting) is above the uploads that
    // hold a slot.
    bool IsFreeToUpload();

    // Links entry to a new item of an object-valued type (write_position and the like) that
    // stands for object; the item owns it from then on.
    template <class T> static T* AttachObject(ItemPtr entry, const char* type, T* object)
    {
        entry += d.GetType(type)->GetItem(Value(object));
        return object;
    }

Q_SIGNALS:
    void DownloadProgressed(ItemPtr entry);
    void UploadProgressed(ItemPtr entry);
    // After the store file is loaded and the downloads are back in the queue.
    void TransfersLoaded();
    void CompleteDownloadAdded(ItemPtr record);

private:
    // Sets the worker's stop flag and waits for it to end, however long its current block takes.
    static void StopWorker(TransferWorker* worker);

    // Removal handlers: the heap value behind the item goes with it.
    void OnWritePositionRemoved(Item* item);
    void OnReadPositionRemoved(Item* item);
    void OnLastReceiptTimeRemoved(Item* item);
    void OnLastSpeedMeasurementTimeRemoved(Item* item);
    void OnBytesPerSecondRemoved(Item* item);
    void OnBytesSinceLastReceiptRemoved(Item* item);
    void OnBytesUploadedRemoved(Item* item);
};

extern TransferQueueManager* transferQueueManager;
