#pragma once

#include <QDateTime>
#include <QString>

// The one clock behind every age and time-out, so that tests can move time instead of waiting.
// Times kept in the store are local date-times in Qt::TextDate form, to the second.
namespace Clock {

// The local date and time now (shifted or held in tests).
QDateTime Now();
// Now() in the text form that store values keep.
QString NowText();
// Parses a stored time; an invalid QDateTime when the text is not one.
QDateTime FromText(const QString& text);

// Whole seconds from then to now, never negative: a wall clock set back must not make an age
// negative (and with it a time-out that never comes). An invalid time has age 0.
qint64 SecondsSince(const QDateTime& then);
qint64 SecondsSince(const QString& storedText);

// Milliseconds from an arbitrary start, never going backwards; for intervals inside one run.
qint64 MonotonicMs();

// Test-only: move every reading of this clock by seconds (cumulative), and undo all moves.
void Shift(qint64 seconds);
void Reset();

// Test-only: stop the clock at that local time. Every reading then stays where it is until a
// test moves it, so that texts made from the time and ages measured on it repeat exactly. The
// monotonic reading goes on from where it was. Reset lets the clock run again.
void Hold(const QDateTime& localTime);
// Test-only: the wall and the monotonic readings move on together, as time passing does.
void AdvanceMs(qint64 ms);
// Test-only: the wall reading alone goes back, as when the system clock is set back or summer
// time ends; the monotonic reading does not notice.
void SetBackMs(qint64 ms);

} // namespace Clock
