#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <cstdio>
#include <iosfwd>
#include <string>

// The RFC 1321 digest, as the login message carries it: lower-case hexadecimal. Feed bytes with
// update, then finalize once; misuse (updating or finalizing twice, reading before finalize) is
// reported on standard error and otherwise ignored.
class MD5
{
public:
    MD5();
    // Read the whole source, then finalize.
    explicit MD5(std::istream& stream);
    explicit MD5(FILE* file);

    void init();
    void update(const unsigned char* input, unsigned int length);
    void update(std::istream& stream);
    // Reads to the end in 1024-byte chunks and closes the file.
    void update(FILE* file);
    void finalize();

    // 16 bytes, or empty before finalize.
    QByteArray raw_digest() const;
    // 32 lower-case hexadecimal digits, or empty before finalize.
    std::string hex_digest() const;

    bool finalized() const { return m_finalized; }

    // The digest of one buffer in one call: what the login needs.
    static std::string HexDigestOf(const std::string& data);

private:
    QCryptographicHash m_hash;
    QByteArray m_digest;
    bool m_finalized = false;
};

// Writes hex_digest(); with no digest yet the stream's fail state is set instead.
std::ostream& operator<<(std::ostream& stream, const MD5& md5);
