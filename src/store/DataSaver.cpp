#include "store/DataSaver.h"

#include "store/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

namespace {

const QString kCategory = QStringLiteral("Configuration Data");

// Collects the bytes in a large buffer and hands them to the file in big blocks; any block the
// device does not take whole fails the save.
class Writer
{
public:
    explicit Writer(QFile& file) : file_(file), buffer_(new char[kBlock]) {}

    void Int(int32_t value)
    {
        if (kBlock - used_ < 4)
            Flush();
        qToLittleEndian<qint32>(value, buffer_.get() + used_);
        used_ += 4;
    }
    void Byte(bool value)
    {
        if (used_ == kBlock)
            Flush();
        buffer_[used_++] = value ? 1 : 0;
    }
    void String(const std::string& text)
    {
        if (text.size() > static_cast<size_t>(INT32_MAX))
            throw DataSaveFailure("a value too long for the store file");
        Int(static_cast<int32_t>(text.size()));
        if (kBlock - used_ < text.size()) {
            Flush();
            if (text.size() > kBlock) {
                Put(text.data(), text.size());
                return;
            }
        }
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }
    void Flush()
    {
        Put(buffer_.get(), used_);
        used_ = 0;
    }

private:
    static constexpr size_t kBlock = 1 << 20;

    void Put(const char* data, size_t size)
    {
        if (size == 0)
            return;
        const qint64 n = file_.write(data, static_cast<qint64>(size));
        if (n != static_cast<qint64>(size))
            throw DataSaveFailure("writing failed: " + file_.errorString().toStdString());
    }

    QFile& file_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};

// Reads the file's bytes, held in memory whole, and knows how many are left, so that no length
// read from the file can make it allocate more than the file holds.
class Reader
{
public:
    Reader(const char* data, size_t size) : at_(data), end_(data + size) {}

    int32_t Int()
    {
        Need(4);
        const int32_t value = qFromLittleEndian<qint32>(at_);
        at_ += 4;
        return value;
    }
    char Byte()
    {
        Need(1);
        return *at_++;
    }
    // The text stays in the file's bytes: only the items that are made copy it.
    std::string_view String()
    {
        const int32_t length = Int();
        if (length < 0)
            throw DataLoadFailure("a negative string length");
        if (length > BytesLeft())
            throw DataLoadFailure("a string longer than the rest of the file");
        const char* text = at_;
        at_ += length;
        // A value never holds a NUL; the text ends at the first one.
        const void* nul = std::memchr(text, 0, static_cast<size_t>(length));
        const size_t size =
            nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length;
        return std::string_view(text, size);
    }
    int64_t BytesLeft() const { return end_ - at_; }

private:
    void Need(int64_t size)
    {
        if (BytesLeft() < size)
            throw DataLoadFailure("the file ends too early");
    }

    const char* at_;
    const char* end_;
};

bool ReplaceFile(const QString& from, const QString& to)
{
    // rename(2) replaces the target in one step: a reader sees the old file or the new one.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) ==
           0;
}

} // namespace

DataSaver::DataSaver()
{
    dataSaver = this;
}

DataSaver::~DataSaver()
{
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(const std::string& typeName)
{
    savedTypes_.insert(d.GetType(typeName));
}

void DataSaver::AddSavedByConnectionType(const std::string& savedTypeName,
                                         const std::string& viaTypeName)
{
    Type* via = d.GetType(viaTypeName);
    Type* saved = d.GetType(savedTypeName);
    std::vector<Type*>& vias = savedByConnection_[saved];
    if (std::find(vias.begin(), vias.end(), via) == vias.end())
        vias.push_back(via);
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* handler)
{
    if (handler && std::find(loadedHandlers_.begin(), loadedHandlers_.end(), handler) ==
                       loadedHandlers_.end())
        loadedHandlers_.push_back(handler);
}

void DataSaver::EmitDataLoaded()
{
    const std::vector<DataLoadedEventHandler*> handlers = loadedHandlers_;
    for (DataLoadedEventHandler* handler : handlers)
        handler->DataLoaded();
}

// ---------------------------------------------------------------------------------------------
// Saving

bool DataSaver::Save(const QString& path)
{
    path_ = path;
    // A name counts as taken also when it is a link to nowhere, and the file is made new: the
    // save never writes through a link someone left under one of its names.
    // One pass of arg(): a "%1" in the path itself must not be taken for the number's place.
    auto name = [&path](int n) {
        return QStringLiteral("%1.%2").arg(path, QString::number(n));
    };
    int n = 1;
    while (QFile::exists(name(n)) || QFileInfo(name(n)).isSymLink())
        ++n;
    const QString temporary = name(n);
    QFile file(temporary);
    bool created = false;
    try {
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            throw DataSaveFailure("cannot create " + temporary.toStdString() + ": " +
                                  file.errorString().toStdString());
        created = true;
        WriteFile(file);
        if (!file.flush())
            throw DataSaveFailure("writing failed: " + file.errorString().toStdString());
        // On disk before it takes the old file's place, so that a crash leaves one or the other.
        if (::fsync(file.handle()) != 0)
            throw DataSaveFailure(std::string("syncing failed: ") + std::strerror(errno));
        file.close();
        if (file.error() != QFileDevice::NoError)
            throw DataSaveFailure("closing failed: " + file.errorString().toStdString());
        if (!ReplaceFile(temporary, path))
            throw DataSaveFailure("cannot rename " + temporary.toStdString() + " to " +
                                  path.toStdString() + ": " + std::strerror(errno));
    } catch (const DataSaveFailure& failure) {
        if (file.isOpen())
            file.close();
        if (created)
            QFile::remove(temporary);
        Log(kCategory, 1,
            QStringLiteral("Saving the configuration data failed, the previous file is kept: %1")
                .arg(QString::fromStdString(failure.what())));
        return false;
    }
    return true;
}

void DataSaver::WriteFile(QFile& file)
{
    Writer w(file);
    const std::vector<Type*> types = d.GetTypes();
    std::vector<Type*> saved;
    for (Type* type : types) {
        if (savedTypes_.count(type) || savedByConnection_.count(type))
            saved.push_back(type);
    }
    w.Int(static_cast<int32_t>(saved.size()));

    // File ids by store id; 0 is "not written". Items are fetched a little ahead of their
    // turn, the item first and then its value's bytes, so that the misses overlap.
    constexpr size_t kAhead = 8;
    std::vector<int32_t> fileIds(d.items_.size(), 0);
    std::vector<Item*> written;
    written.reserve(d.ItemCount());
    int32_t nextId = 1;
    std::vector<Item*> chosen;
    for (Type* type : saved) {
        chosen.clear();
        if (savedTypes_.count(type)) {
            type->ids_.ForEach([&](uint32_t id) { chosen.push_back(d.items_[id]); });
        } else {
            const std::vector<Type*>& vias = savedByConnection_[type];
            type->ids_.ForEach([&](uint32_t id) {
                Item* item = d.items_[id];
                for (const Type* via : vias) {
                    if (item->IsConnected(via)) {
                        chosen.push_back(item);
                        break;
                    }
                }
            });
        }
        w.String(type->GetName());
        w.Byte(type->IsNull());
        w.Int(static_cast<int32_t>(chosen.size()));
        for (size_t k = 0; k < chosen.size(); ++k) {
            if (k + 2 * kAhead < chosen.size())
                __builtin_prefetch(chosen[k + 2 * kAhead]);
            if (k + kAhead < chosen.size())
                __builtin_prefetch(chosen[k + kAhead]->value_.data());
            Item* item = chosen[k];
            fileIds[item->Id()] = nextId;
            written.push_back(item);
            w.Int(nextId);
            if (!type->IsNull())
                w.String(item->AsString());
            ++nextId;
        }
    }

    // Each connection once, from its smaller id. Walking the items in id order and sorting each
    // one's partners gives the pairs in ascending order without a global sort; only partners of
    // saved types are looked at. The k-th item written has the file id k + 1.
    std::vector<bool> savedType(d.types_.size(), false);
    for (Type* type : saved)
        savedType[type->Id()] = true;
    std::vector<uint32_t> partnerTypes;
    std::vector<int32_t> partners;
    std::vector<int32_t> pairs;
    for (size_t k = 0; k < written.size(); ++k) {
        if (k + 2 * kAhead < written.size())
            __builtin_prefetch(written[k + 2 * kAhead]);
        if (k + kAhead < written.size())
            written[k + kAhead]->links_.Prefetch();
        const Item* item = written[k];
        partners.clear();
        const int32_t own = static_cast<int32_t>(k + 1);
        item->links_.Types(partnerTypes);
        for (uint32_t t : partnerTypes) {
            if (!savedType[t])
                continue;
            item->links_.ForEach(t, [&](uint32_t id) {
                const int32_t other = fileIds[id];
                if (other > own)
                    partners.push_back(other);
            });
        }
        std::sort(partners.begin(), partners.end());
        for (int32_t other : partners) {
            pairs.push_back(own);
            pairs.push_back(other);
        }
    }
    if (pairs.size() / 2 > static_cast<size_t>(INT32_MAX))
        throw DataSaveFailure("too many connections for the store file");
    w.Int(static_cast<int32_t>(pairs.size() / 2));
    for (int32_t id : pairs)
        w.Int(id);
    w.Flush();
}

// ---------------------------------------------------------------------------------------------
// Loading

bool DataSaver::IsStoreFileName(const std::string& storeName, const std::string& name)
{
    if (storeName.empty() || name.compare(0, storeName.size(), storeName) != 0)
        return false;
    return name.size() == storeName.size() || name[storeName.size()] == '.';
}

QString DataSaver::UnreadableName(const QString& path)
{
    QString name = path + QStringLiteral(".unreadable");
    for (int n = 2; QFile::exists(name); ++n)
        name = QStringLiteral("%1.unreadable.%2").arg(path, QString::number(n));
    return name;
}

void DataSaver::ParseFile(QFile& file, std::vector<char>& bytes, std::vector<ItemInfo>& items,
                          std::vector<std::pair<uint32_t, uint32_t>>& pairs)
{
    // One read of the whole file; the records are then taken from memory in place.
    const qint64 size = file.size();
    if (size < 0)
        throw DataLoadFailure("reading failed: " + file.errorString().toStdString());
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        throw DataLoadFailure("the file is too large to read");
    }
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file.read(bytes.data() + got, size - got);
        if (n < 0)
            throw DataLoadFailure("reading failed: " + file.errorString().toStdString());
        if (n == 0)
            break; // shorter than it was: what is there is all there is
        got += n;
    }
    Reader r(bytes.data(), static_cast<size_t>(got));

    const int32_t typeCount = r.Int();
    for (int32_t t = 0; t < typeCount; ++t) {
        const std::string name(r.String());
        const bool isNull = r.Byte() != 0;
        // A type this build no longer declares is read and dropped, and so is one it does not
        // save: those are rebuilt at run time, and some hold object addresses as values, which
        // must never come from a file.
        Type* type = d.HasType(name);
        if (type && !savedTypes_.count(type) && !savedByConnection_.count(type))
            type = nullptr;
        if (type && type->IsNull() != isNull)
            throw DataLoadFailure("type \"" + name + "\" is saved with the wrong null flag");
        const int32_t itemCount = r.Int();
        // Room for the records, but never more than the rest of the file can hold.
        if (type && itemCount > 0)
            items.reserve(items.size() +
                          static_cast<size_t>(std::min<int64_t>(itemCount, r.BytesLeft() / 4)));
        for (int32_t k = 0; k < itemCount; ++k) {
            const int32_t id = r.Int();
            const std::string_view value = isNull ? std::string_view() : r.String();
            if (type) {
                const uint32_t hash = isNull ? 0 : Type::HashValue(value);
                items.push_back(ItemInfo{value, type, id, hash});
            }
        }
    }
    // Ascending ids; of a repeated id the record read last counts.
    auto byId = [](const ItemInfo& a, const ItemInfo& b) { return a.id < b.id; };
    if (!std::is_sorted(items.begin(), items.end(), byId))
        std::stable_sort(items.begin(), items.end(), byId);
    size_t kept = 0;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k + 1 < items.size() && items[k + 1].id == items[k].id)
            continue;
        items[kept++] = items[k];
    }
    items.resize(kept);

    // Pairs are kept as indexes into items; those are in id order, so sorting the indexes
    // sorts the ids. Files written by Save number their items 1, 2, ...: the index is then the
    // id itself.
    const bool dense = !items.empty() && items.front().id == 1 &&
                       static_cast<size_t>(items.back().id) == items.size();
    auto indexOf = [&items, dense](int32_t id) -> int64_t {
        if (dense)
            return id >= 1 && static_cast<size_t>(id) <= items.size() ? id - 1 : -1;
        auto it = std::lower_bound(items.begin(), items.end(), id,
                                   [](const ItemInfo& info, int32_t v) { return info.id < v; });
        return it == items.end() || it->id != id ? -1 : it - items.begin();
    };
    const int32_t pairCount = r.Int();
    if (pairCount > 0)
        pairs.reserve(static_cast<size_t>(std::min<int64_t>(pairCount, r.BytesLeft() / 8)));
    for (int32_t k = 0; k < pairCount; ++k) {
        const int32_t first = r.Int();
        const int32_t second = r.Int();
        const int64_t a = indexOf(first);
        const int64_t b = a < 0 ? -1 : indexOf(second);
        if (b >= 0)
            pairs.emplace_back(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
    }
}

void DataSaver::Load(const QString& path)
{
    path_ = path;
    if (!QFile::exists(path)) {
        EmitDataLoaded();
        return;
    }
    std::vector<char> bytes;
    std::vector<ItemInfo> items;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    {
        QFile file(path);
        try {
            if (!file.open(QIODevice::ReadOnly))
                throw DataLoadFailure("cannot open: " + file.errorString().toStdString());
            // All of it is read and checked before the store is touched.
            ParseFile(file, bytes, items, pairs);
        } catch (const DataLoadFailure& failure) {
            file.close();
            const QString aside = UnreadableName(path);
            Log(kCategory, 1,
                QStringLiteral("The configuration data could not be loaded from %1: %2")
                    .arg(path, QString::fromStdString(failure.what())));
            if (QFile::rename(path, aside))
                Log(kCategory, 2,
                    QStringLiteral("The unreadable file was moved to %1").arg(aside));
            else
                Log(kCategory, 2,
                    QStringLiteral("The unreadable file could not be moved to %1").arg(aside));
            // The defaults are still in place, so the client can work on them.
            EmitDataLoaded();
            throw;
        }
    }

    // Made in ascending id order; a value already in the store is that item. The value index
    // slot of an item a little further on is fetched ahead, so that the misses overlap.
    constexpr size_t kAhead = 16;
    std::vector<uint32_t> storeIds(items.size(), 0);
    std::vector<Item*> made(items.size(), nullptr);
    Data::Batch batch(&d);
    std::vector<size_t> perType(d.types_.size(), 0);
    for (const ItemInfo& info : items)
        ++perType[info.type->Id()];
    for (size_t t = 0; t < perType.size(); ++t) {
        if (perType[t] > 0)
            d.types_[t]->ReserveItems(perType[t]);
    }
    d.items_.reserve(d.items_.size() + items.size());
    const uint64_t removals = d.removals_;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k + kAhead < items.size()) {
            const ItemInfo& ahead = items[k + kAhead];
            if (!ahead.type->IsNull())
                ahead.type->PrefetchValue(ahead.hash);
        }
        const ItemInfo& info = items[k];
        Type* type = info.type;
        Item* item = nullptr;
        if (type->IsNull()) {
            item = type->NewItem();
        } else {
            item = type->FindValue(info.value, info.hash);
            if (!item)
                item = type->MakeItem(std::string(info.value), info.hash);
        }
        storeIds[k] = item->Id();
        made[k] = item;
    }
    std::vector<ItemInfo>().swap(items);
    std::vector<char>().swap(bytes);

    if (!std::is_sorted(pairs.begin(), pairs.end()))
        std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());

    // Handlers may have removed items meanwhile; then each is looked up by its id, which is
    // not reused during the batch. Otherwise the pointers are good as they are.
    auto itemAt = [&](uint32_t index) {
        return d.removals_ == removals ? made[index] : d.ItemById(storeIds[index]);
    };

    // Each item's links array gets its final size at once rather than growing pair by pair:
    // a header of two words per partner type at most, and never more than three words a
    // partner.
    {
        std::vector<uint32_t> degree(made.size(), 0);
        for (const auto& p : pairs) {
            ++degree[p.first];
            ++degree[p.second];
        }
        for (size_t k = 0; k < made.size(); ++k) {
            if (degree[k] < 2)
                continue;
            if (Item* item = itemAt(static_cast<uint32_t>(k))) {
                const uint64_t types = item->type_->relations_.size();
                const uint64_t words =
                    std::min<uint64_t>(degree[k] + 2 * types, uint64_t(degree[k]) * 3);
                item->links_.ReserveMore(
                    static_cast<uint32_t>(std::min<uint64_t>(words, UINT32_MAX)));
            }
        }
    }

    // The partners of pairs a little further on are fetched ahead in stages: the pointer, the
    // item, then its links array; the first items come in order and need no help.
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (d.removals_ == removals) {
            if (k + 2 * kAhead < pairs.size())
                __builtin_prefetch(&made[pairs[k + 2 * kAhead].second]);
            if (k + kAhead < pairs.size())
                __builtin_prefetch(made[pairs[k + kAhead].second]);
            if (k + kAhead / 2 < pairs.size()) {
                made[pairs[k + kAhead / 2].first]->links_.Prefetch();
                made[pairs[k + kAhead / 2].second]->links_.Prefetch();
            }
        }
        Item* a = itemAt(pairs[k].first);
        Item* b = itemAt(pairs[k].second);
        if (!a || !b)
            continue;
        // A pair of types that are no longer related is dropped, like one touching an unknown
        // type.
        if (!a->GetType()->IsRelated(b->GetType()))
            continue;
        ItemPtr(a) += ItemPtr(b);
    }
    EmitDataLoaded();
}
