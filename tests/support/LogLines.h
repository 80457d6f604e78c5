#pragma once

#include "store/Log.h"

#include <QObject>
#include <QString>
#include <QStringList>

// Collects the lines logged while it lives, of one category (or of every category when none is
// given), each as logged after its time stamp: with its level's indent.
class LogLines
{
public:
    explicit LogLines(const QString& category = QString())
    {
        m_connection =
            QObject::connect(LogHub::Instance(), &LogHub::LineLogged,
                             [this, category](const QString& lineCategory, const QString& line) {
                                 if (category.isEmpty() || lineCategory == category)
                                     lines << line.mid(line.indexOf(QLatin1String("] ")) + 2);
                             });
    }
    ~LogLines() { QObject::disconnect(m_connection); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    bool Has(const QString& line) const { return lines.contains(line); }

    QStringList lines;

private:
    QMetaObject::Connection m_connection;
};
