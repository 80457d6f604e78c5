// The word index of the shared files: search_token items, one per lower-cased word. A shared
// file is linked to the words of its name, and its folder (shared_file_folder) to the words of
// the folder's path: a file carries the words of both. The folder's words are linked once for
// all its files rather than to each of them, which is most of the index: a path has two or three
// times the words of a name. Searches find candidates through those links alone.

#include "shares/SharedFoldersManager.h"

#include "shares/SharesSchema.h"

#include <algorithm>

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
    // A folder's path never changes, so a folder with words has all of them.
    ItemPtr folder = file[SharesTypes::SharedFileFolder];
    if (folder && !folder.IsConnected(m_types.token))
        LinkTokens(folder, TokenItems(folder.AsString()));
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

void SharedFoldersManager::LinkTokens(ItemPtr item, const std::vector<Item*>& tokens)
{
    if (!item)
        return;
    // A name's words come to a handful, each as a rule once: the links grow once, to hold them
    // all, rather than a word at a time with room to spare, for every file of the share.
    if (!item->IsConnected(m_types.token)) {
        std::vector<Item*> distinct(tokens);
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        item->ReserveLinks(m_types.token, distinct.size());
    }
    for (Item* token : tokens)
        item += token;
}
