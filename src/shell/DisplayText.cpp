#include "shell/DisplayText.h"

#include <QTextBoundaryFinder>

#include <algorithm>

QString NameText(std::string_view name)
{
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

std::string NameBytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

QString Utf8Text(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string Utf8Bytes(const QString& text)
{
    return text.toUtf8().toStdString();
}

namespace {

// How the bytes of a value of each kind map to characters.
enum class Coding
{
    OneBytePerCharacter, // Latin-1
    Utf8,
    Nothing
};

Coding CodingOf(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Name:
    case ValueKind::Number:
    case ValueKind::Time:
    case ValueKind::Word:
    case ValueKind::Address:
        return Coding::OneBytePerCharacter;
    case ValueKind::Utf8:
    case ValueKind::Path:
    case ValueKind::ByKey:
        return Coding::Utf8;
    case ValueKind::None:
    case ValueKind::Unset:
        break;
    }
    return Coding::Nothing;
}

} // namespace

QString Shown(ItemPtr item)
{
    return item.IsNull() ? QString() : Shown(item->GetType(), item->AsString().View());
}

QString Shown(const Type* type, std::string_view bytes)
{
    return Shown(type->GetKind(), bytes);
}

QString Shown(ValueKind kind, std::string_view bytes)
{
    switch (CodingOf(kind)) {
    case Coding::OneBytePerCharacter:
        return NameText(bytes);
    case Coding::Utf8:
        return Utf8Text(bytes);
    case Coding::Nothing:
        break;
    }
    return QString();
}

std::string StoredBytes(ValueKind kind, const QString& text)
{
    switch (CodingOf(kind)) {
    case Coding::OneBytePerCharacter:
        return NameBytes(text);
    case Coding::Utf8:
        return Utf8Bytes(text);
    case Coding::Nothing:
        break;
    }
    return std::string();
}

std::string StoredBytes(const Type* type, const QString& text)
{
    return StoredBytes(type->GetKind(), text);
}

QString Shown(SettingKey key)
{
    return Shown(key.kind, Settings::Text(key));
}

std::string StoredBytes(SettingKey key, const QString& text)
{
    return StoredBytes(key.kind, text);
}

// A name's coding is the one that keeps every byte as it is.
QString RawText(std::string_view bytes)
{
    return NameText(bytes);
}

std::string RawBytes(const QString& text)
{
    return NameBytes(text);
}

QString EscapeMnemonics(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString EscapeTitlePlaceholder(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

namespace {

bool IsLineBreak(char16_t u)
{
    return u == u'\r' || u == u'\n' || u == 0x2028 || u == 0x2029;
}

bool IsDirectionControl(char16_t u)
{
    return (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
}

} // namespace

QString OneLineText(QString text)
{
    // Read first: most text has nothing to change, and is then handed back without a copy (rows
    // are made by the ten thousand).
    const auto first = std::find_if(text.cbegin(), text.cend(), [](QChar c) {
        return IsLineBreak(c.unicode()) || IsDirectionControl(c.unicode());
    });
    if (first == text.cend())
        return text;
    // Taken before the text is written, which gives it a buffer of its own.
    const qsizetype from = first - text.cbegin();
    for (auto c = text.begin() + from; c != text.end(); ++c) {
        if (IsLineBreak(c->unicode()))
            *c = QLatin1Char(' ');
        else if (IsDirectionControl(c->unicode()))
            *c = QChar::ReplacementCharacter;
    }
    return text;
}

namespace {

// Whether the unit is a code point of the Basic Multilingual Plane that is a character of its
// own, as the layout groups them: nothing it follows rides on it, nor does it ride on anything
// (not a mark, joiner or other format character, Hangul jamo, or one of the few letters that
// join their neighbour). Text made of such units alone needs no closer look.
bool IsLoneCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x300)
        return true;
    if (c.isSurrogate() || (u >= 0x1100 && u <= 0x11ff) || (u >= 0xa960 && u <= 0xa97f) ||
        (u >= 0xd7b0 && u <= 0xd7ff))
        return false;
    switch (c.category()) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Other_Format:
        return false;
    default:
        break;
    }
    return u != 0x0d4e && u != 0x0e33 && u != 0x0eb3 && u != 0xff9e && u != 0xff9f;
}

qsizetype CodePointEnd(const QChar* text, qsizetype at, qsizetype end)
{
    return at +
           (text[at].isHighSurrogate() && at + 1 < end && text[at + 1].isLowSurrogate() ? 2 : 1);
}

} // namespace

LaidOutText BoundedForLayout(const QString& text, qsizetype maxUnits, qsizetype tailUnits)
{
    const qsizetype size = text.size();
    // Most text is made of such characters alone, and goes as it is, without a copy.
    const auto look = text.cbegin() + std::min(size, maxUnits + 1);
    const qsizetype plain = std::find_if_not(text.cbegin(), look, IsLoneCharacter) - text.cbegin();
    if (plain == size && size <= maxUnits)
        return {text, size, 0};
    if (plain > maxUnits)
        return {text.left(maxUnits - tailUnits), maxUnits - tailUnits, 0};

    // Characters as the layout finds them, in as much of the text as may be looked at.
    qsizetype window = std::min(size, maxUnits * LaidOutText::kMaxUnitsLookedAt);
    if (window < size && text.at(window - 1).isHighSurrogate())
        --window;
    const QChar* chars = text.constData();
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, chars, window);
    LaidOutText out;
    out.text.reserve(std::min(window, maxUnits));
    // What is kept costs this many units; the last cut that leaves room for the caller's mark.
    qsizetype cost = 0;
    LaidOutText fit;
    qsizetype fitUnits = 0;
    qsizetype at = 0;
    while (at < window) {
        if (cost <= maxUnits - tailUnits) {
            fitUnits = out.text.size();
            fit.end = at;
            fit.marksLeftOut = out.marksLeftOut;
        }
        qsizetype next = characters.toNextBoundary();
        if (next < 0 || next > window)
            next = window;
        qsizetype kept = at;
        qsizetype units = 0;
        for (int points = 0; kept < next && points <= kMaxMarksPerCharacter; ++points) {
            const qsizetype end = CodePointEnd(chars, kept, next);
            units += end - kept == 2 ? kUnitsPerWideCodePoint : 1;
            kept = end;
        }
        const bool marksLeftOut = kept < next;
        units += marksLeftOut ? 1 : 0;
        if (cost + units > maxUnits)
            break;
        cost += units;
        out.text.append(chars + at, kept - at);
        if (marksLeftOut) {
            out.text.append(QChar(0x2026));
            for (qsizetype i = kept; i < next; i = CodePointEnd(chars, i, next))
                ++out.marksLeftOut;
        }
        at = next;
    }
    out.end = at;
    if (at < size && cost > maxUnits - tailUnits) {
        out.text.truncate(fitUnits);
        out.end = fit.end;
        out.marksLeftOut = fit.marksLeftOut;
    }
    return out;
}

QString CellText(const QString& text)
{
    const LaidOutText shown = BoundedForLayout(text, kMaxCellChars, 1);
    if (shown.end == text.size())
        return OneLineText(shown.text);
    return OneLineText(shown.text) + QChar(0x2026);
}

QString ToolTipText(const QString& text)
{
    // Marked up as what it is, plain text: a tooltip that does not look like markup would show
    // the escapes themselves. Blanks in a row stay as many, and long text still wraps.
    return QStringLiteral("<p>") +
           CellText(text).toHtmlEscaped().replace(QLatin1String("  "), QLatin1String(" &nbsp;")) +
           QStringLiteral("</p>");
}
