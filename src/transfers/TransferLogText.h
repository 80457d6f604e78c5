#pragma once

#include <QString>

#include <string>

// Names and paths in the transfer engine's log lines are the store's text as it stands.
namespace TransferLogText {

inline QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace TransferLogText
