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
                m_excludeWords.append(token.mid(1).toString());
        } else if (token == u"isvbr") {
            m_isVbr = true;
            m_hasAttributes = true;
        } else if (token == u"iscbr") {
            m_isCbr = true;
            m_hasAttributes = true;
        } else if (After(token, u"minbitrate:", rest) || After(token, u"mbr:", rest)) {
            m_minBitrate = DecimalInt(rest);
            m_hasAttributes = true;
        } else if (After(token, u"minfilesize:", rest) || After(token, u"mfs:", rest)) {
            m_minFileSize = Megabytes(rest);
            m_hasAttributes = true;
        } else if (After(token, u"minfilesinfolder:", rest) || After(token, u"mfif:", rest)) {
            m_minFilesInFolder = DecimalInt(rest);
        } else {
            m_includeWords.append(token.toString());
        }
    }
}

bool FilterParser::ItemFailsLimits(ItemPtr item) const
{
    if (m_isVbr || m_isCbr) {
        const std::string mode = item[PeerTypes::BitrateMode].AsString();
        if ((m_isVbr && mode != "vbr") || (m_isCbr && mode != "cbr"))
            return true;
    }
    // A minimum of zero or less is no limit, so that the empty filter shows every file, also
    // one whose client sent a negative bitrate or size. Values are read in 64 bits: a stored
    // number beyond int saturates there instead of wrapping into range.
    if (m_minBitrate > 0 && item[PeerTypes::Bitrate].AsInt64() < m_minBitrate)
        return true;
    return m_minFileSize > 0 && item[PeerTypes::FileSize].AsInt64() < m_minFileSize;
}

int FilterParser::IsMatching(const QString& text, FilterParser* residual, ItemPtr item) const
{
    if (residual == this) {
        // Emptying the residual's words would empty the words still to be tested.
        const FilterParser filter = *this;
        return filter.IsMatching(text, residual, item);
    }
    if (residual) {
        residual->m_includeWords.clear();
        residual->m_excludeWords.clear();
    }
    if (item && ItemFailsLimits(item))
        return Rejected;
    if (residual) {
        residual->m_minBitrate = m_minBitrate;
        residual->m_isVbr = m_isVbr;
        residual->m_isCbr = m_isCbr;
        residual->m_minFileSize = m_minFileSize;
        residual->m_minFilesInFolder = m_minFilesInFolder;
        residual->m_hasAttributes = m_hasAttributes;
    }

    // Both sides folded, so that a word matches whatever case either was written in (a final
    // sigma included); a word may stand anywhere, also inside a longer word.
    const QString folded = text.toCaseFolded();
    for (const QString& word : m_excludeWords) {
        if (folded.contains(word.toCaseFolded()))
            return Rejected;
    }
    if (residual)
        residual->m_excludeWords = m_excludeWords;
    bool missing = false;
    for (const QString& word : m_includeWords) {
        if (folded.contains(word.toCaseFolded()))
            continue;
        if (!residual)
            return MissingWords;
        residual->m_includeWords.append(word);
        missing = true;
    }
    return missing ? MissingWords : Matching;
}
