#include "shares/SearchParser.h"

const char* SearchParser::Whitespace()
{
    return " \t";
}

bool SearchParser::SetSearchText(const std::string& text)
{
    return Tokenize(text);
}

bool SearchParser::Tokenize(const std::string& text)
{
    size_t at = 0;
    for (;;) {
        at = text.find_first_not_of(Whitespace(), at);
        if (at == std::string::npos)
            return !m_included.empty() || !m_includedParts.empty();
        if (m_terms == kMaxSearchTerms) {
            m_termsDropped = true;
            return !m_included.empty() || !m_includedParts.empty();
        }

        // One prefix at most: in -*abc the excluded word is *abc.
        TokenSet* set = &m_included;
        if (text[at] == '-' || text[at] == '*') {
            set = text[at] == '-' ? &m_excluded : &m_includedParts;
            if (++at == text.size())
                return false;
        }

        size_t end;
        if (text[at] == '"') {
            ++at;
            end = text.find('"', at);
        } else {
            end = text.find_first_of(Whitespace(), at);
        }
        // No end: the rest of the text is the word, an unclosed quote's blanks included.
        const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
        if (word.empty() || word.find('"') != std::string::npos)
            return false;
        set->insert(word);
        ++m_terms;
        if (end == std::string::npos)
            return !m_included.empty() || !m_includedParts.empty();
        at = text[end] == '"' ? end + 1 : end;
    }
}
