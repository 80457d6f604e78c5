#include "shell/DisplayText.h"

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

QString OneLineText(QString text)
{
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u == u'\r' || u == u'\n' || u == 0x2028 || u == 0x2029)
            c = QLatin1Char(' ');
        else if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069))
            c = QChar::ReplacementCharacter;
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
