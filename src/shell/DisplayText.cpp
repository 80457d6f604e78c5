#include "shell/DisplayText.h"

#include <algorithm>

QString NameText(const std::string& name)
{
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

std::string NameBytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

QString Utf8Text(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string Utf8Bytes(const QString& text)
{
    return text.toUtf8().toStdString();
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
