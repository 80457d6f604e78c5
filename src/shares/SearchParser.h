#pragma once

#include <set>
#include <string>

// Cuts a search text into the words a hit must carry: whole index words, parts of the file name
// (written *part) and words the name must not contain (written -word). A phrase in double
// quotes is one word. Words keep their case. Make a fresh parser for each query.
class SearchParser
{
public:
    using TokenSet = std::set<std::string>;

    // A search is matched with this many of its words at most, the first ones in the query;
    // the rest of the text is not read. Each word costs every candidate file a test, and a
    // searcher may send thousands.
    static constexpr int kMaxSearchTerms = 10;

    // False when the query is malformed or has nothing that includes: it is then not answered.
    bool SetSearchText(const std::string& text);
    bool Tokenize(const std::string& text);
    // Whether words past kMaxSearchTerms were left out.
    bool TermsDropped() const { return m_termsDropped; }

    const TokenSet& GetIncludedTokenSet() const { return m_included; }
    const TokenSet& GetIncludedPartTokenSet() const { return m_includedParts; }
    const TokenSet& GetExcludedTokenSet() const { return m_excluded; }

    // The bytes that separate query words.
    static const char* Whitespace();

private:
    int m_terms = 0;
    bool m_termsDropped = false;
    TokenSet m_included;
    TokenSet m_includedParts;
    TokenSet m_excluded;
};
