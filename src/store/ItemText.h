#pragma once

// The text of an item's value, in 16 bytes. An item hands out a reference to it that callers
// keep for as long as the item lives, so its bytes never move while the item exists. They are
// held in one of three ways:
// - up to kInlineSize bytes inside the object itself, needing no block at all;
// - a longer text in a block of its own, freed with the object;
// - a longer text that a load laid out in a block the store keeps for its whole life: the object
//   only points there, so a million loaded values cost no block each.
// A borrowed text may read in ASCII lower case where the lent bytes are in mixed case (a loaded
// name's lower-case key borrows the name): it is lowered into a block of its own when first read,
// so that a key nobody reads costs no block.
// The bytes are always followed by a NUL, so c_str() costs nothing. The text itself may hold
// NULs; size() counts them.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class ItemText
{
public:
    static constexpr size_t kInlineSize = 15;

    ItemText() noexcept { SetInlineSize(0); }
    explicit ItemText(std::string_view text);
    // A copy always holds its own bytes, whichever way the original holds them.
    ItemText(const ItemText& other) : ItemText(other.View()) {}
    ItemText& operator=(const ItemText& other);
    ~ItemText() { FreeBytes(); }

    // Points at text without copying it (a short one is still copied inside): text[size] must
    // be a NUL, and the bytes must stay where they are, unchanged, for as long as this object
    // lives.
    struct Borrow
    {
    };
    ItemText(Borrow, const char* text, size_t size);
    // The same for a text that reads in ASCII lower case, whatever the case of the lent bytes.
    struct BorrowLowerCase
    {
    };
    ItemText(BorrowLowerCase, const char* text, size_t size);

    const char* data() const
    {
        return IsInline() ? raw_ : Tag() == kLowerOnRead ? Lowered() : Pointer();
    }
    const char* c_str() const { return data(); }
    size_t size() const { return IsInline() ? kInlineSize - InlineSpare() : LongSize(); }
    size_t length() const { return size(); }
    bool empty() const { return size() == 0; }
    char operator[](size_t at) const { return data()[at]; }
    const char* begin() const { return data(); }
    const char* end() const { return data() + size(); }

    std::string_view View() const { return std::string_view(data(), size()); }
    operator std::string_view() const { return View(); }
    operator std::string() const { return std::string(data(), size()); }
    std::string str() const { return std::string(data(), size()); }

    size_t find(char c, size_t from = 0) const { return View().find(c, from); }
    size_t find(std::string_view text, size_t from = 0) const { return View().find(text, from); }
    size_t rfind(char c, size_t from = std::string_view::npos) const
    {
        return View().rfind(c, from);
    }
    std::string substr(size_t from, size_t count = std::string_view::npos) const
    {
        return std::string(View().substr(from, count));
    }
    int compare(std::string_view other) const { return View().compare(other); }

    // Whether the bytes live in a block of this object's own.
    bool OwnsBlock() const { return Tag() == kOwned; }
    // Whether the bytes are borrowed (they then stay where they are for the store's life).
    bool IsBorrowed() const { return Tag() == kBorrowed; }
    // The bytes as held, which for a text yet to be lowered are the lent ones: for hashing and
    // comparing ignoring ASCII case, which need no lower-case copy.
    std::string_view Held() const
    {
        return IsInline() ? std::string_view(raw_, size()) : std::string_view(Pointer(), size());
    }

private:
    // The last byte tells the form: inline, it counts the unused bytes (so a text of exactly
    // kInlineSize bytes finds its NUL there); otherwise it is one of the tags below.
    static constexpr uint8_t kOwned = 0x80;
    static constexpr uint8_t kBorrowed = 0x81;
    // Borrowed, to be lowered when read.
    static constexpr uint8_t kLowerOnRead = 0x82;

    uint8_t Tag() const { return static_cast<uint8_t>(raw_[kInlineSize]); }
    bool IsInline() const { return Tag() <= kInlineSize; }
    size_t InlineSpare() const { return Tag(); }
    void SetInlineSize(size_t size)
    {
        raw_[size] = '\0';
        raw_[kInlineSize] = static_cast<char>(kInlineSize - size);
    }
    const char* Pointer() const
    {
        const char* p;
        std::memcpy(&p, raw_, sizeof p);
        return p;
    }
    size_t LongSize() const
    {
        uint32_t size;
        std::memcpy(&size, raw_ + sizeof(const char*), sizeof size);
        return size;
    }
    void SetLong(const char* text, size_t size, uint8_t tag);
    void Assign(std::string_view text);
    // Lowers borrowed bytes into a block of its own, and gives that block.
    const char* Lowered() const;
    void FreeBytes();

    // Inline: the bytes, a NUL and the spare count. Otherwise: the pointer, the 32-bit size, and
    // the tag last. Mutable for the lowering at the first read.
    mutable char raw_[kInlineSize + 1];
};
static_assert(sizeof(ItemText) == 16, "an item with its value fits in 48 bytes");

// Compared and joined as text; a result that is a new text is a std::string.
inline bool operator==(const ItemText& a, const ItemText& b)
{
    return a.View() == b.View();
}
inline bool operator==(const ItemText& a, std::string_view b)
{
    return a.View() == b;
}
inline bool operator==(std::string_view a, const ItemText& b)
{
    return a == b.View();
}
inline bool operator!=(const ItemText& a, const ItemText& b)
{
    return a.View() != b.View();
}
inline bool operator!=(const ItemText& a, std::string_view b)
{
    return a.View() != b;
}
inline bool operator!=(std::string_view a, const ItemText& b)
{
    return a != b.View();
}
inline bool operator<(const ItemText& a, const ItemText& b)
{
    return a.View() < b.View();
}

namespace storeimpl {
inline std::string Join(std::string_view a, std::string_view b)
{
    std::string out;
    out.reserve(a.size() + b.size());
    out.append(a).append(b);
    return out;
}
} // namespace storeimpl

inline std::string operator+(const ItemText& a, std::string_view b)
{
    return storeimpl::Join(a.View(), b);
}
inline std::string operator+(std::string_view a, const ItemText& b)
{
    return storeimpl::Join(a, b.View());
}
inline std::string operator+(const ItemText& a, const ItemText& b)
{
    return storeimpl::Join(a.View(), b.View());
}
