#pragma once

#include "store/Clock.h"

#include <QDateTime>

// Holds the clock at a local time for as long as it lives (Clock::Hold), then lets it run again.
// Tests move it with Clock::AdvanceMs and Clock::SetBackMs.
class HeldClock
{
public:
    explicit HeldClock(const QDateTime& localTime) { Clock::Hold(localTime); }
    ~HeldClock() { Clock::Reset(); }
    HeldClock(const HeldClock&) = delete;
    HeldClock& operator=(const HeldClock&) = delete;
};
