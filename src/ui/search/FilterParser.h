#pragma once

// The filter line of the search results and share browser tabs: words a text must hold, words
// it must not hold, and limits on a file's bitrate, bitrate mode and size. The tested texts are
// other users' file and folder names, and the item values are what their clients sent.
//
// A plain value, copied member by member and held by the form that tests with it. No widget
// header here: the fuzz target links this without a display.

#include "store/Data.h"

#include <QString>
#include <QStringList>

class FilterParser
{
public:
    // What IsMatching found.
    enum Result
    {
        Matching = 0,     // the text and the item pass
        MissingWords = 1, // some wanted words are not in the text
        Rejected = 2      // an unwanted word is in the text, or the item fails a limit
    };

    FilterParser() = default;

    // Adds the space-separated tokens of text to what this filter holds; it does not start over.
    void Parse(const QString& text);

    // Tests text and, unless item is null, the item's bitrate, bitrate_mode and file_size.
    // residual, when given, is overwritten with what is still to be found after this text: the
    // same limits and unwanted words, and the wanted words text lacked. Testing the next piece
    // of a path (folder, then file) with the residual continues the test down the path; the
    // residual may be this filter itself.
    int IsMatching(const QString& text, FilterParser* residual, ItemPtr item) const;

    // Whether a bitrate, bitrate-mode or size limit was given: folder names cannot satisfy one.
    bool HasAttributes() const { return hasAttributes; }
    int MinFilesInFolder() const { return minFilesInFolder; }

    const QStringList& IncludeWords() const { return includeWords; }
    const QStringList& ExcludeWords() const { return excludeWords; }
    int MinBitrate() const { return minBitrate; }
    bool IsVbr() const { return isVbr; }
    bool IsCbr() const { return isCbr; }
    qint64 MinFileSize() const { return minFileSize; }

private:
    bool ItemFailsLimits(ItemPtr item) const;

    QStringList includeWords; // in the order typed, duplicates kept
    QStringList excludeWords;
    int minBitrate = 0; // kilobits a second
    bool isVbr = false;
    bool isCbr = false;
    qint64 minFileSize = 0; // bytes
    int minFilesInFolder = 0;
    bool hasAttributes = false;
};
