#include "shell/ProxyStyle.h"

ProxyStyle::ProxyStyle(const QString& styleName) : QProxyStyle(styleName) {}
