#include "store/MD5.h"

#include <iostream>

namespace {
constexpr int kChunk = 1024;
}

MD5::MD5() : m_hash(QCryptographicHash::Md5)
{
    init();
}

MD5::MD5(std::istream& stream) : MD5()
{
    update(stream);
    finalize();
}

MD5::MD5(FILE* file) : MD5()
{
    update(file);
    finalize();
}

void MD5::init()
{
    m_hash.reset();
    m_digest.clear();
    m_finalized = false;
}

void MD5::update(const unsigned char* input, unsigned int length)
{
    if (m_finalized) {
        std::cerr << "MD5::update:  Can't update a finalized digest!" << std::endl;
        return;
    }
    if (length > 0)
        m_hash.addData(QByteArrayView(reinterpret_cast<const char*>(input), length));
}

void MD5::update(std::istream& stream)
{
    char chunk[kChunk];
    while (stream) {
        stream.read(chunk, kChunk);
        const std::streamsize got = stream.gcount();
        if (got <= 0)
            break;
        update(reinterpret_cast<const unsigned char*>(chunk), static_cast<unsigned int>(got));
    }
}

void MD5::update(FILE* file)
{
    if (!file)
        return;
    unsigned char chunk[kChunk];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, kChunk, file)) > 0)
        update(chunk, static_cast<unsigned int>(got));
    std::fclose(file);
}

void MD5::finalize()
{
    if (m_finalized) {
        std::cerr << "MD5::finalize:  Already finalized this digest!" << std::endl;
        return;
    }
    m_digest = m_hash.result();
    m_finalized = true;
}

QByteArray MD5::raw_digest() const
{
    if (!m_finalized) {
        std::cerr << "MD5::raw_digest:  Can't get digest if you haven't "
                  << "finalized the digest!" << std::endl;
        return QByteArray();
    }
    return m_digest;
}

std::string MD5::hex_digest() const
{
    if (!m_finalized) {
        std::cerr << "MD5::hex_digest:  Can't get digest if you haven't "
                  << "finalized the digest!" << std::endl;
        return std::string();
    }
    return m_digest.toHex().toStdString();
}

std::string MD5::HexDigestOf(const std::string& data)
{
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(data.data()),
               static_cast<unsigned int>(data.size()));
    md5.finalize();
    return md5.hex_digest();
}

std::ostream& operator<<(std::ostream& stream, const MD5& md5)
{
    if (!md5.finalized()) {
        stream.setstate(std::ios::failbit);
        return stream;
    }
    return stream << md5.hex_digest();
}
