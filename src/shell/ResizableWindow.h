#pragma once

#include <QObject>

// A window whose position and size the size manager keeps: it reads and sets them here, and
// hears of every move and resize through the two signals.
class ResizableWindow : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual int GetX() = 0;
    virtual int GetY() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual void SetPosition(int x, int y) = 0;
    virtual void SetSize(int width, int height) = 0;

Q_SIGNALS:
    void WindowMoved(int x, int y);
    void WindowResized(int width, int height);
};
