#include "shell/DisplayText.h"

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

QString CellText(const QString& text)
{
    if (text.size() <= kMaxCellChars)
        return OneLineText(text);
    qsizetype end = kMaxCellChars - 1;
    if (text.at(end - 1).isHighSurrogate())
        --end;
    return OneLineText(text.left(end)) + QChar(0x2026);
}

QString ToolTipText(const QString& text)
{
    // Marked up as what it is, plain text: a tooltip that does not look like markup would show
    // the escapes themselves. Blanks in a row stay as many, and long text still wraps.
    return QStringLiteral("<p>") +
           CellText(text).toHtmlEscaped().replace(QLatin1String("  "), QLatin1String(" &nbsp;")) +
           QStringLiteral("</p>");
}
