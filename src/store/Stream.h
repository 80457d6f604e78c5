#pragma once

// The byte-stream encoding shared by every wire format: little-endian integers, a bool as one
// byte, a string as a 32-bit length and its bytes, a list, set or map as a 32-bit count and its
// elements (a map entry is key then value). Every read returns false on short data or a length
// or count over the limits below; the caller decides what a failed field means for its message.

#include <QtGlobal>

#include <list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class InputStream;
class OutputStream;

// Longest string and largest element count a read accepts. The data comes from the network, so
// both are checked before anything is allocated for them.
constexpr quint32 kMaxStreamStringLength = 131072;
constexpr quint32 kMaxStreamElementCount = 131072;

class StreamReadable
{
public:
    virtual bool Read(InputStream& stream) = 0;

protected:
    ~StreamReadable() = default;
};

class StreamWritable
{
public:
    virtual bool Write(OutputStream& stream) const = 0;

protected:
    ~StreamWritable() = default;
};

// A record that reads and writes itself. Records are held by value and never deleted through
// these bases, hence the protected non-virtual destructors.
class Persistent : public StreamReadable, public StreamWritable
{
protected:
    ~Persistent() = default;
};

class InputStream
{
public:
    virtual ~InputStream() = default;

    // Copies exactly length bytes, or returns false and consumes nothing.
    virtual bool ReadBuffer(void* dest, unsigned long length) = 0;

    bool Read(bool& value);
    bool Read(quint8& value);
    bool Read(qint16& value);
    bool Read(quint16& value);
    bool Read(qint32& value);
    bool Read(quint32& value);
    bool Read(qint64& value);
    bool Read(quint64& value);
    bool Read(std::string& value);
    bool Read(StreamReadable& record) { return record.Read(*this); }

    template <class A, class B> bool Read(std::pair<A, B>& value)
    {
        return Read(value.first) && Read(value.second);
    }
    template <class T> bool Read(std::list<T>& value)
    {
        return ReadContainer(value, [&value](T&& e) { value.push_back(std::move(e)); });
    }
    template <class T> bool Read(std::vector<T>& value)
    {
        return ReadContainer(value, [&value](T&& e) { value.push_back(std::move(e)); });
    }
    template <class T> bool Read(std::set<T>& value)
    {
        // insert keeps the first of equal elements.
        return ReadContainer(value, [&value](T&& e) { value.insert(std::move(e)); });
    }
    template <class K, class V> bool Read(std::map<K, V>& value)
    {
        // A repeated key: the later value replaces the earlier.
        return ReadContainer(value, [&value](std::pair<K, V>&& e) {
            value[std::move(e.first)] = std::move(e.second);
        });
    }

    // Reads a 32-bit element count; false when it is short or above kMaxStreamElementCount.
    // The count is unsigned: a "negative" count is a huge one and fails at once.
    bool ReadCount(quint32& count);

private:
    template <class Container, class Insert> bool ReadContainer(Container& container, Insert insert)
    {
        container.clear();
        quint32 count = 0;
        if (!ReadCount(count))
            return false;
        for (quint32 i = 0; i < count; ++i) {
            // A fresh element each time: a record that reads nothing (a FileInfo with code 0)
            // must not bring back the previous element's fields.
            ElementOf<Container> element{};
            if (!Read(element))
                return false;
            insert(std::move(element));
        }
        return true;
    }

    template <class C> struct ElementType
    {
        using type = typename C::value_type;
    };
    template <class K, class V> struct ElementType<std::map<K, V>>
    {
        using type = std::pair<K, V>;
    };
    template <class C> using ElementOf = typename ElementType<C>::type;
};

class OutputStream
{
public:
    virtual ~OutputStream() = default;

    // Appends exactly length bytes or returns false.
    virtual bool WriteBuffer(const void* src, unsigned long length) = 0;

    bool Write(bool value);
    bool Write(quint8 value);
    bool Write(qint32 value);
    bool Write(quint32 value);
    bool Write(qint64 value);
    bool Write(quint64 value);
    // No overloads for long or size_t: writing a container size must say which width it means,
    // so Write(v.size()) does not compile rather than silently writing 8 bytes.
    bool Write(std::string_view value);
    // Without this a string literal would pick the bool overload.
    bool Write(const char* value) { return Write(std::string_view(value)); }
    bool Write(const StreamWritable& record) { return record.Write(*this); }

    template <class A, class B> bool Write(const std::pair<A, B>& value)
    {
        return Write(value.first) && Write(value.second);
    }
    template <class T> bool Write(const std::list<T>& value) { return WriteContainer(value); }
    template <class T> bool Write(const std::vector<T>& value) { return WriteContainer(value); }
    template <class T> bool Write(const std::set<T>& value) { return WriteContainer(value); }
    template <class K, class V> bool Write(const std::map<K, V>& value)
    {
        if (!Write(static_cast<quint32>(value.size())))
            return false;
        for (const auto& entry : value) {
            if (!Write(entry.first) || !Write(entry.second))
                return false;
        }
        return true;
    }

private:
    template <class Container> bool WriteContainer(const Container& container)
    {
        if (!Write(static_cast<quint32>(container.size())))
            return false;
        for (const auto& element : container) {
            if (!Write(element))
                return false;
        }
        return true;
    }
};
