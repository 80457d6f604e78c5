// The word index of the shared files: search_token items, one per lower-cased word. A shared
// file is linked to the words of its name, and its folder (shared_file_folder) to the words of
// the folder's path: a file carries the words of both. The folder's words are linked once for
// all its files rather than to each of them, which is most of the index: a path has two or three
// times the words of a name. Searches find candidates through those links alone.

#include "shares/SharedFoldersManager.h"

#include "shares/SharesSchema.h"

#include <algorithm>
#include <string_view>

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
void ForEachWord(std::string_view text, IsSeparator isSeparator, Link link)
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
    // Each word once: a name's words are a handful, and its plain words ("07", "kamiro") are
    // most of them whole components too.
    std::vector<Item*> items;
    std::vector<std::string_view> words;
    auto add = [&](std::string_view word) {
        if (std::find(words.begin(), words.end(), word) != words.end())
            return;
        words.push_back(word);
        items.push_back(m_types.token->GetItem(Value(std::string(word))).Get());
    };
    ForEachWord(text, IsSearchTokenSeparator, add);
    ForEachWord(text, IsComponentSeparator, add);
    return items;
}

void SharedFoldersManager::LinkTokens(ItemPtr item, std::vector<Item*> tokens)
{
    if (!item)
        return;
    // In the order of their ids, as the links keep them: each goes to the end of the item's
    // links, with nothing to move. A name's words come to a handful: the links grow once, to
    // hold them all, rather than a word at a time with room to spare, for every file of the
    // share.
    std::sort(tokens.begin(), tokens.end(),
              [](const Item* a, const Item* b) { return a->Id() < b->Id(); });
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
    if (!item->IsConnected(m_types.token))
        item->ReserveLinks(m_types.token, tokens.size());
    for (Item* token : tokens)
        item += token;
}
