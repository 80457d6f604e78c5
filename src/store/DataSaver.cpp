#include "store/DataSaver.h"

#include "store/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

DataSaver* dataSaver = nullptr;

namespace {

const QString kCategory = QStringLiteral("Configuration Data");

// Collects the bytes in a large buffer and hands them to the file in big blocks; any block the
// device does not take whole fails the save.
class Writer
{
public:
    explicit Writer(QFile& file) : file_(file) { buffer_.reserve(kBlock + 4096); }

    void Int(int32_t value)
    {
        char bytes[4];
        qToLittleEndian<qint32>(value, bytes);
        Append(bytes, 4);
    }
    void Byte(bool value)
    {
        const char byte = value ? 1 : 0;
        Append(&byte, 1);
    }
    void String(const std::string& text)
    {
        if (text.size() > static_cast<size_t>(INT32_MAX))
            throw DataSaveFailure("a value too long for the store file");
        Int(static_cast<int32_t>(text.size()));
        Append(text.data(), text.size());
    }
    void Flush()
    {
        if (buffer_.empty())
            return;
        const qint64 n = file_.write(buffer_.data(), static_cast<qint64>(buffer_.size()));
        if (n != static_cast<qint64>(buffer_.size()))
            throw DataSaveFailure("writing failed: " + file_.errorString().toStdString());
        buffer_.clear();
    }

private:
    static constexpr size_t kBlock = 1 << 20;

    void Append(const char* data, size_t size)
    {
        const size_t at = buffer_.size();
        buffer_.resize(at + size);
        std::memcpy(buffer_.data() + at, data, size);
        if (buffer_.size() >= kBlock)
            Flush();
    }

    QFile& file_;
    std::vector<char> buffer_;
};

// Reads the file in blocks and knows how many bytes are left, so that no length read from the
// file can make it allocate more than the file holds.
class Reader
{
public:
    explicit Reader(QFile& file) : file_(file), left_(file.size()) {}

    int32_t Int()
    {
        char bytes[4];
        Take(bytes, 4);
        return qFromLittleEndian<qint32>(bytes);
    }
    char Byte()
    {
        char byte;
        Take(&byte, 1);
        return byte;
    }
    std::string String()
    {
        const int32_t length = Int();
        if (length < 0)
            throw DataLoadFailure("a negative string length");
        if (length > left_ + static_cast<qint64>(buffer_.size() - at_))
            throw DataLoadFailure("a string longer than the rest of the file");
        std::string text(static_cast<size_t>(length), '\0');
        Take(text.data(), text.size());
        // A value never holds a NUL; the text ends at the first one.
        const size_t nul = text.find('\0');
        if (nul != std::string::npos)
            text.resize(nul);
        return text;
    }
    int64_t BytesLeft() const { return left_ + static_cast<int64_t>(buffer_.size() - at_); }

private:
    static constexpr qint64 kBlock = 1 << 20;

    void Take(char* out, size_t size)
    {
        while (size > 0) {
            if (at_ == buffer_.size()) {
                if (left_ <= 0)
                    throw DataLoadFailure("the file ends too early");
                const qint64 want = std::min(left_, kBlock);
                buffer_.resize(static_cast<size_t>(want));
                const qint64 got = file_.read(buffer_.data(), want);
                if (got <= 0)
                    throw DataLoadFailure("reading failed: " + file_.errorString().toStdString());
                buffer_.resize(static_cast<size_t>(got));
                left_ -= got;
                at_ = 0;
            }
            const size_t n = std::min(size, buffer_.size() - at_);
            std::memcpy(out, buffer_.data() + at_, n);
            at_ += n;
            out += n;
            size -= n;
        }
    }

    QFile& file_;
    qint64 left_;
    std::vector<char> buffer_;
    size_t at_ = 0;
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

    // File ids by store id; 0 is "not written".
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
        for (Item* item : chosen) {
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
    // saved types are looked at.
    std::vector<bool> savedType(d.types_.size(), false);
    for (Type* type : saved)
        savedType[type->Id()] = true;
    std::vector<uint32_t> partnerTypes;
    std::vector<int32_t> partners;
    std::vector<int32_t> pairs;
    for (Item* item : written) {
        partners.clear();
        const int32_t own = fileIds[item->Id()];
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

QString DataSaver::UnreadableName(const QString& path)
{
    QString name = path + QStringLiteral(".unreadable");
    for (int n = 2; QFile::exists(name); ++n)
        name = QStringLiteral("%1.unreadable.%2").arg(path, QString::number(n));
    return name;
}

void DataSaver::ParseFile(QFile& file, std::vector<ItemInfo>& items, std::vector<int32_t>& ids,
                          std::vector<std::pair<int32_t, int32_t>>& pairs)
{
    Reader r(file);
    const int32_t typeCount = r.Int();
    for (int32_t t = 0; t < typeCount; ++t) {
        const std::string name = r.String();
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
            std::string value = isNull ? std::string() : r.String();
            if (type)
                items.push_back(ItemInfo{std::move(value), type, id});
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
        if (kept != k)
            items[kept] = std::move(items[k]);
        ++kept;
    }
    items.resize(kept);
    ids.reserve(items.size());
    for (const ItemInfo& info : items)
        ids.push_back(info.id);

    const int32_t pairCount = r.Int();
    for (int32_t k = 0; k < pairCount; ++k) {
        const int32_t first = r.Int();
        const int32_t second = r.Int();
        if (IndexOf(ids, first) >= 0 && IndexOf(ids, second) >= 0)
            pairs.emplace_back(first, second);
    }
}

int64_t DataSaver::IndexOf(const std::vector<int32_t>& ids, int32_t id)
{
    // Files written by Save number their items 1, 2, ...: the index is then the id itself.
    if (id >= 1 && static_cast<size_t>(id) <= ids.size() && ids[id - 1] == id)
        return id - 1;
    auto it = std::lower_bound(ids.begin(), ids.end(), id);
    if (it == ids.end() || *it != id)
        return -1;
    return it - ids.begin();
}

void DataSaver::Load(const QString& path)
{
    if (!QFile::exists(path)) {
        EmitDataLoaded();
        return;
    }
    std::vector<ItemInfo> items;
    std::vector<int32_t> ids;
    std::vector<std::pair<int32_t, int32_t>> pairs;
    {
        QFile file(path);
        try {
            if (!file.open(QIODevice::ReadOnly))
                throw DataLoadFailure("cannot open: " + file.errorString().toStdString());
            // All of it is read and checked before the store is touched.
            ParseFile(file, items, ids, pairs);
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

    // Made in ascending id order; a value already in the store is that item.
    std::vector<uint32_t> storeIds(items.size(), 0);
    Data::Batch batch(&d);
    std::map<Type*, size_t, TypeOrder> perType;
    for (const ItemInfo& info : items)
        ++perType[info.type];
    for (const auto& t : perType)
        t.first->ReserveItems(t.second);
    for (size_t k = 0; k < items.size(); ++k) {
        ItemInfo& info = items[k];
        Type* type = info.type;
        Item* item = nullptr;
        if (type->IsNull()) {
            item = type->NewItem();
        } else {
            item = type->FindValue(info.value);
            if (!item)
                item = type->MakeItem(std::move(info.value));
        }
        storeIds[k] = item->Id();
    }
    std::vector<ItemInfo>().swap(items);

    if (!std::is_sorted(pairs.begin(), pairs.end()))
        std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    for (const auto& p : pairs) {
        // Handlers may have removed an item meanwhile; ids are not reused during the batch.
        Item* a = d.ItemById(storeIds[static_cast<size_t>(IndexOf(ids, p.first))]);
        Item* b = d.ItemById(storeIds[static_cast<size_t>(IndexOf(ids, p.second))]);
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
