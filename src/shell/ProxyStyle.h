#pragma once

#include <QProxyStyle>

// The style of that name, wrapped so that the application can adjust single style operations.
// A name no style answers to gives the platform's default style.
class ProxyStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit ProxyStyle(const QString& styleName);
};
