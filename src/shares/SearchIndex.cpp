// The word index of the shared files: each shared file is linked to a search_token item for
// every word of its folder path and name, lower-cased. Searches find candidates through those
// links alone.

#include "shares/SharedFoldersManager.h"

#include "shares/SharesSchema.h"

namespace {

bool IsAsciiLetterOrDigit(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whole path components and names, punctuation and all.
bool IsComponentSeparator(unsigned char c)
{
    return c == ' ' || c == '/' || c == '\\';
}

template <class IsSeparator, class Link>
void ForEachWord(const std::string& text, IsSeparator isSeparator, Link link)
{
    size_t start = 0;
    bool inWord = false;
    for (size_t k = 0; k < text.size(); ++k) {
        const bool separator = isSeparator(static_cast<unsigned char>(text[k]));
        if (!inWord && !separator) {
            start = k;
            inWord = true;
        } else if (inWord && separator) {
            link(text.substr(start, k - start));
            inWord = false;
        }
    }
    if (inWord)
        link(text.substr(start));
}

} // namespace

bool SharedFoldersManager::IsSearchTokenSeparator(unsigned char c)
{
    // Bytes from 0x80 up are parts of multi-byte UTF-8 characters and stay inside words.
    return c < 0x80 && !IsAsciiLetterOrDigit(c);
}

void SharedFoldersManager::TokenizeSharedFile(ItemPtr file)
{
    // The text is the folder, a backslash and the name. The backslash separates words in both
    // passes, so no word spans it: the words are the folder's and the name's, each on its own.
    LinkTokens(file, TokenItems(file[SharesTypes::SharedFileFolder].AsString()));
    LinkTokens(file, TokenItems(file[SharesTypes::SharedFileName].AsString()));
}

std::vector<Item*> SharedFoldersManager::TokenItems(std::string text)
{
    // ASCII letters only: the same in every locale, and no byte of a UTF-8 character changes.
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    std::vector<Item*> items;
    auto add = [&](std::string word) {
        items.push_back(m_types.token->GetItem(Value(std::move(word))).Get());
    };
    ForEachWord(text, IsSearchTokenSeparator, add);
    ForEachWord(text, IsComponentSeparator, add);
    return items;
}

void SharedFoldersManager::LinkTokens(ItemPtr file, const std::vector<Item*>& tokens)
{
    for (Item* token : tokens)
        file += token;
}
