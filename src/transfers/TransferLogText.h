#pragma once

#include <QString>

#include <string>

// Every line the transfer engine logs goes under one category; names and paths in them are the
// store's text as it stands.
namespace TransferLogText {

inline const QString kCategory = QStringLiteral("Transfer Queue");

inline QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace TransferLogText
