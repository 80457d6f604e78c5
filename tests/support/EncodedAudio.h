#pragma once

// Real MP3 files for the scanner's tests and benchmark: a WAV of a signal of our own, encoded
// by the lame command-line encoder. Nothing here ships with the program.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <cmath>

namespace EncodedAudio {

// Where lame is, or empty when it is not installed.
inline QString LamePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("lame"));
}

// 16-bit PCM: a 440 Hz tone (a fifth above on the second channel) plus noise from a fixed
// generator, so the encoder has something to spend bits on and every run encodes the same
// input. The noise swells and fades once a second, which makes a variable-rate encoding vary.
inline bool WriteWav(const QString& path, int sampleRate, int channels, int seconds)
{
    const qint64 frames = qint64(sampleRate) * seconds;
    const quint32 dataBytes = quint32(frames * channels * 2);
    QByteArray out;
    out.reserve(qsizetype(44 + dataBytes));
    auto u32 = [&out](quint32 v) {
        v = qToLittleEndian(v);
        out.append(reinterpret_cast<const char*>(&v), 4);
    };
    auto u16 = [&out](quint16 v) {
        v = qToLittleEndian(v);
        out.append(reinterpret_cast<const char*>(&v), 2);
    };
    out.append("RIFF", 4);
    u32(36 + dataBytes);
    out.append("WAVEfmt ", 8);
    u32(16);
    u16(1); // PCM
    u16(quint16(channels));
    u32(quint32(sampleRate));
    u32(quint32(sampleRate * channels * 2));
    u16(quint16(channels * 2));
    u16(16);
    out.append("data", 4);
    u32(dataBytes);

    quint32 noise = 12345;
    const double twoPi = 6.283185307179586;
    for (qint64 i = 0; i < frames; ++i) {
        const double t = double(i) / sampleRate;
        const double swell = 0.5 + 0.5 * std::sin(twoPi * t);
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double n = (double(noise >> 16) / 32768.0 - 1.0) * 6000.0 * swell;
            const double tone = 9000.0 * std::sin(twoPi * (c == 0 ? 440.0 : 660.0) * t);
            u16(quint16(qint16(std::lround(tone + n))));
        }
    }
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(out) == out.size();
}

// Encodes wav into mp3 with the given lame options. Empty on success, else what went wrong.
inline QString Encode(const QString& wav, const QString& mp3, const QStringList& options)
{
    const QString lame = LamePath();
    if (lame.isEmpty())
        return QStringLiteral("lame is not installed");
    QProcess p;
    p.start(lame, QStringList{QStringLiteral("--quiet")} + options + QStringList{wav, mp3});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode())
        return QStringLiteral("lame %1 failed: %2")
            .arg(options.join(QLatin1Char(' ')), QString::fromLocal8Bit(p.readAllStandardError()));
    return QString();
}

} // namespace EncodedAudio
