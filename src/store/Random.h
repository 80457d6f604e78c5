#pragma once

#include <QtGlobal>

#include <functional>

// Random 32-bit numbers (tokens, scrambling keys) from QRandomGenerator, behind a source that
// tests can replace to get repeatable values.
quint32 RandomU32();

// Test-only: the source RandomU32 uses from now on; an empty function restores the system one.
void SetRandomSource(std::function<quint32()> source);
