#include "ui/search/FilterParser.h"

#include "peer/PeerSchema.h"

#include <QList>
#include <QStringView>
#include <QtNumeric>

#include <limits>

namespace {

// Sizes are typed in decimal megabytes, as the help text says.
constexpr qint64 kBytesPerMegabyte = 1000000;

// Letters, an empty number and one out of range all read as 0; a sign is allowed.
int DecimalInt(QStringView digits)
{
    bool ok = false;
    const int n = digits.toInt(&ok, 10);
    return ok ? n : 0;
}

// The product saturates: a number of megabytes past the 64-bit range is a minimum no file
// reaches (or, negative, one every file passes), never a wrapped-around value.
qint64 Megabytes(QStringView digits)
{
    bool ok = false;
    const qint64 n = digits.toLongLong(&ok, 10);
    if (!ok)
        return 0;
    qint64 bytes = 0;
    if (qMulOverflow(n, kBytesPerMegabyte, &bytes))
        return n < 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    return bytes;
}

bool After(QStringView token, QStringView prefix, QStringView& rest)
{
    if (!token.startsWith(prefix))
        return false;
    rest = token.mid(prefix.size());
    return true;
}

} // namespace

void FilterParser::Parse(const QString& text)
{
    // Only the space separates: a tab or another blank belongs to the word it stands in.
    const QList<QStringView> tokens = QStringView(text).split(u' ', Qt::SkipEmptyParts);
    for (QStringView token : tokens) {
        QStringView rest;
        if (token.startsWith(u'-')) {
            if (token.size() > 1)
                excludeWords.append(token.mid(1).toString());
        } else if (token == u"isvbr") {
            isVbr = true;
            hasAttributes = true;
        } else if (token == u"iscbr") {
            isCbr = true;
            hasAttributes = true;
        } else if (After(token, u"minbitrate:", rest) || After(token, u"mbr:", rest)) {
            minBitrate = DecimalInt(rest);
            hasAttributes = true;
        } else if (After(token, u"minfilesize:", rest) || After(token, u"mfs:", rest)) {
            minFileSize = Megabytes(rest);
            hasAttributes = true;
        } else if (After(token, u"minfilesinfolder:", rest) || After(token, u"mfif:", rest)) {
            minFilesInFolder = DecimalInt(rest);
        } else {
            includeWords.append(token.toString());
        }
    }
}

bool FilterParser::ItemFailsLimits(ItemPtr item) const
{
    if (isVbr || isCbr) {
        const std::string mode = item[PeerTypes::BitrateMode].AsString();
        if ((isVbr && mode != "vbr") || (isCbr && mode != "cbr"))
            return true;
    }
    // A minimum of zero or less is no limit, so that the empty filter shows every file, also
    // one whose client sent a negative bitrate or size. Values are read in 64 bits: a stored
    // number beyond int saturates there instead of wrapping into range.
    if (minBitrate > 0 && item[PeerTypes::Bitrate].AsInt64() < minBitrate)
        return true;
    return minFileSize > 0 && item[PeerTypes::FileSize].AsInt64() < minFileSize;
}

int FilterParser::IsMatching(const QString& text, FilterParser* residual, ItemPtr item) const
{
    if (residual == this) {
        // Emptying the residual's words would empty the words still to be tested.
        const FilterParser filter = *this;
        return filter.IsMatching(text, residual, item);
    }
    if (residual) {
        residual->includeWords.clear();
        residual->excludeWords.clear();
    }
    if (item && ItemFailsLimits(item))
        return Rejected;
    if (residual) {
        residual->minBitrate = minBitrate;
        residual->isVbr = isVbr;
        residual->isCbr = isCbr;
        residual->minFileSize = minFileSize;
        residual->minFilesInFolder = minFilesInFolder;
        residual->hasAttributes = hasAttributes;
    }

    // Both sides folded, so that a word matches whatever case either was written in (a final
    // sigma included); a word may stand anywhere, also inside a longer word.
    const QString folded = text.toCaseFolded();
    for (const QString& word : excludeWords) {
        if (folded.contains(word.toCaseFolded()))
            return Rejected;
    }
    if (residual)
        residual->excludeWords = excludeWords;
    bool missing = false;
    for (const QString& word : includeWords) {
        if (folded.contains(word.toCaseFolded()))
            continue;
        if (!residual)
            return MissingWords;
        residual->includeWords.append(word);
        missing = true;
    }
    return missing ? MissingWords : Matching;
}
