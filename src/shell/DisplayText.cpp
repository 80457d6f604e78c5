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
