#pragma once

// The store file: which types are saved, writing them through a numbered temporary file that
// then replaces the old file, and reading it back into the store at start-up.
//
// Layout (every integer a little-endian int32; a string is an int32 length and its bytes):
//   type count, then per type: name, null flag (one byte), item count, then per item its id
//   (1, 2, ... over the whole file) and, unless the type is null, its value;
//   then the pair count and the pairs (smaller id, larger id), ascending.
// A save then appends a trailer: the 8 bytes "QVCRC32:" and the CRC-32 (zlib's) of every byte
// before the trailer, as a little-endian uint32. A reader that stops after the pairs never sees
// it; a file without it (an older save, or one written by hand) loads on the layout's own checks.

#include "store/Data.h"
#include "store/Services.h"

#include <QString>

#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

class DataSaveFailure : public std::exception
{
public:
    explicit DataSaveFailure(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

class DataLoadFailure : public std::exception
{
public:
    explicit DataLoadFailure(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

class DataSaver
{
public:
    DataSaver();
    ~DataSaver();
    DataSaver(const DataSaver&) = delete;
    DataSaver& operator=(const DataSaver&) = delete;

    // Every item of the type is saved.
    void AddSavedType(const std::string& typeName);
    // Items of the saved type are saved when connected to an item of the via type.
    void AddSavedByConnectionType(const std::string& savedTypeName, const std::string& viaTypeName);
    void AddDataLoadedEventHandler(DataLoadedEventHandler* handler);
    void EmitDataLoaded();

    // Writes the store file. A link at path is followed: the file it leads to is replaced; links
    // that never end at a file (a loop) fail the save. The replaced file is kept as
    // "<path>.previous", and numbered temporary files that an earlier, interrupted save left are
    // removed. Never raises: a failure is logged and leaves the previous file as it was. Returns
    // whether the new file is in place.
    bool Save(const QString& path);
    // Reads the store file into the store, merging with what is there. No file, a folder in its
    // place, or links that never end at a file (logged): the handlers are told at once. A file
    // that cannot be read, is damaged, or whose checksum does not match is moved aside (see
    // UnreadableName) and "<path>.previous" is loaded in its place when it reads well. When
    // neither does, the store is left as it was, the handlers are told, and DataLoadFailure is
    // raised.
    void Load(const QString& path);

    // Where an unreadable store file is moved: beside it, under a name that says so.
    static QString UnreadableName(const QString& path);

    // The store file last loaded or saved; empty before either.
    const QString& Path() const { return path_; }
    // Why the last save failed, with the system's reason; empty after a save that succeeded.
    const QString& SaveFailure() const { return saveFailure_; }

    // Test-only: files of at least this many bytes (4 MiB unless told) are parsed as they are
    // read, the rest read whole first. Returns the size it replaces.
    static size_t SetStreamedReadMin(size_t bytes);

    // Whether name, a file in the same folder as the store file storeName, is one of the store
    // file's own: the file itself or any name the saver makes by adding a suffix after a dot
    // (numbered temporaries, the previous generation, copies set aside, the lock). All of them
    // hold the user's data, the password among it, so none may ever be shared.
    static bool IsStoreFileName(const std::string& storeName, const std::string& name);

private:
    struct FreeBytes
    {
        void operator()(char* bytes) const { std::free(bytes); }
    };
    // One item record while loading, for a file not laid out as Save lays it out.
    struct ItemInfo
    {
        size_t value; // where its value's bytes begin in the file's bytes
        Type* type;
        int32_t id;
        uint32_t hash; // of the value, for the type's value index
        uint32_t size; // of the value, which may end early at a NUL
    };
    // A store file read and checked whole; pairs name item indexes. A file as Save writes it
    // (ids 1, 2, ... in file order, no NUL in a value) is walked again for its items, type
    // record by type record, with no record kept per item; any other has its records.
    struct Contents
    {
        struct Run
        {
            Type* type;
            size_t offset; // of the first item's id
            int32_t count;
        };
        std::unique_ptr<char, FreeBytes> bytes; // from malloc: values and links arrays reuse them
        size_t size = 0;                        // allocated
        size_t itemCount = 0;
        std::vector<Run> runs;
        std::vector<uint32_t> hashes; // walked items' value hashes, in id order
        std::vector<ItemInfo> items;  // records, in id order, when not walked
        std::vector<std::pair<uint32_t, uint32_t>> pairs;
        bool pairsInOrder = true;     // ascending, none twice
        std::vector<uint32_t> degree; // pairs per item
        // What MakeItems left of the bytes the store keeps: read no more, to be given back.
        char* spare = nullptr;
        size_t spareSize = 0;
    };
    class Reader;
    class StreamedRead;
    class LayoutParser;
    class ItemMaker;

    void WriteFile(int fd);
    void ReadFile(const QString& path, Contents& contents);
    // With a stream, the bytes are parsed as they come in.
    void ParseFile(Contents& contents, size_t layoutSize, const uint32_t* checksum,
                   StreamedRead* stream = nullptr);
    // Reads the layout into contents, with or without a record per item. Without, it returns
    // false as soon as it meets what only records can hold; contents is then half filled.
    bool ParseLayout(Reader& r, Contents& contents, bool records);
    // Makes the items of contents in the store and links them (DataSaverItems.cpp).
    void MakeItems(Contents& contents);

    QString path_;
    QString saveFailure_;
    TypeSet savedTypes_;
    std::map<Type*, std::vector<Type*>, TypeOrder> savedByConnection_;
    std::vector<DataLoadedEventHandler*> loadedHandlers_;
};
