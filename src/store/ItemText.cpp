#include "store/ItemText.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>

ItemText::ItemText(std::string_view text)
{
    SetInlineSize(0);
    Assign(text);
}

ItemText& ItemText::operator=(const ItemText& other)
{
    if (this != &other) {
        // Copied first: other may be a text this one's block holds.
        ItemText copy(other.View());
        FreeBytes();
        std::memcpy(raw_, copy.raw_, sizeof raw_);
        copy.SetInlineSize(0);
    }
    return *this;
}

ItemText::ItemText(Borrow, const char* text, size_t size)
{
    if (size <= kInlineSize) {
        if (size > 0)
            std::memcpy(raw_, text, size);
        SetInlineSize(size);
        return;
    }
    SetLong(text, size, kBorrowed);
}

namespace {

bool IsCapital(char c)
{
    return c >= 'A' && c <= 'Z';
}

char Lower(char c)
{
    return IsCapital(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

ItemText::ItemText(BorrowLowerCase, const char* text, size_t size)
{
    const char* end = text + size;
    if (size <= kInlineSize) {
        std::transform(text, end, raw_, Lower);
        SetInlineSize(size);
        return;
    }
    // Lent in lower case already, it reads as it is.
    SetLong(text, size, std::any_of(text, end, IsCapital) ? kLowerOnRead : kBorrowed);
}

const char* ItemText::Lowered() const
{
    const size_t size = LongSize();
    char* bytes = static_cast<char*>(std::malloc(size + 1));
    if (!bytes)
        throw std::bad_alloc();
    const char* lent = Pointer();
    std::transform(lent, lent + size, bytes, Lower);
    bytes[size] = '\0';
    std::memcpy(raw_, &bytes, sizeof bytes);
    raw_[kInlineSize] = static_cast<char>(kOwned);
    return bytes;
}

void ItemText::SetLong(const char* text, size_t size, uint8_t tag)
{
    if (size > UINT32_MAX)
        throw std::length_error("an item's value longer than 4 GiB");
    const uint32_t size32 = static_cast<uint32_t>(size);
    std::memcpy(raw_, &text, sizeof text);
    std::memcpy(raw_ + sizeof text, &size32, sizeof size32);
    raw_[kInlineSize] = static_cast<char>(tag);
}

void ItemText::Assign(std::string_view text)
{
    if (text.size() <= kInlineSize) {
        if (!text.empty())
            std::memcpy(raw_, text.data(), text.size());
        SetInlineSize(text.size());
        return;
    }
    if (text.size() > UINT32_MAX)
        throw std::length_error("an item's value longer than 4 GiB");
    char* bytes = static_cast<char*>(std::malloc(text.size() + 1));
    if (!bytes)
        throw std::bad_alloc();
    std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    SetLong(bytes, text.size(), kOwned);
}

void ItemText::FreeBytes()
{
    if (Tag() == kOwned)
        std::free(const_cast<char*>(Pointer()));
}
