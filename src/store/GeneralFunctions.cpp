#include "store/GeneralFunctions.h"

#include <QByteArray>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Byte-wise ASCII lower case, the same whatever locale the process runs in: these keys are
// compared against keys made in other runs.
std::string LowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string::size_type FindLastSeparator(const std::string& path)
{
    return path.find_last_of("\\/");
}

// One trailing separator does not start an empty last component.
std::string::size_type DropTrailingSeparatorAndFindLast(std::string& path)
{
    if (path.empty())
        return std::string::npos;
    if (IsSeparator(path.back()))
        path.pop_back();
    return FindLastSeparator(path);
}

} // namespace

bool GetBit(unsigned int value, int n)
{
    // Unsigned, so that n - 1 cannot overflow for the lowest n.
    const unsigned int shift = (static_cast<unsigned int>(n) - 1u) & 31u;
    return (value >> shift) & 1u;
}

std::string ReversePathname(std::string path)
{
    std::string result;
    bool first = true;
    while (!path.empty()) {
        if (IsSeparator(path.back())) {
            path.pop_back();
            continue;
        }
        if (!first)
            result += '/';
        const auto separator = FindLastSeparator(path);
        if (separator != std::string::npos) {
            result += path.substr(separator + 1);
            path.erase(separator);
        } else {
            result += path;
            path.clear();
        }
        first = false;
    }
    return result;
}

QString CommafyNumber(long long n)
{
    // Written from the end into a buffer and made a string once: size and progress columns ask
    // for one per row, many times a second. 19 digits and 6 commas at most.
    char text[32];
    char* const end = text + sizeof text;
    char* at = end;
    int digits = 0;
    while (n > 0) {
        if (digits > 0 && digits % 3 == 0)
            *--at = ',';
        *--at = static_cast<char>('0' + n % 10);
        n /= 10;
        ++digits;
    }
    return QString::fromLatin1(at, end - at);
}

std::string GetFileExtension(std::string name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    return LowerAscii(name.substr(dot + 1));
}

std::string GetFolder(std::string path)
{
    const auto separator = DropTrailingSeparatorAndFindLast(path);
    if (separator == std::string::npos)
        return path;
    return path.substr(0, separator);
}

std::string GetParentFolder(std::string path)
{
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    if (path.empty())
        return path;
    return GetFolder(path);
}

void AbsoluteFileNameKey(std::string_view path, std::string& key)
{
    key.clear();
    for (char c : path) {
        if (IsSeparator(c) && !key.empty() && IsSeparator(key.back()))
            continue;
        key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (!key.empty() && IsSeparator(key.back()))
        key.pop_back();
}

std::string GetAbsoluteFileName(std::string path)
{
    std::string key;
    key.reserve(path.size());
    AbsoluteFileNameKey(path, key);
    return key;
}

std::string GetFileName(std::string path)
{
    const auto separator = DropTrailingSeparatorAndFindLast(path);
    if (separator == std::string::npos)
        return path;
    return path.substr(separator + 1);
}

namespace {

// Whether the UTF-8 at i is U+202A to U+202E or U+2066 to U+2069.
bool IsBidiControl(const std::string& name, size_t i)
{
    if (i + 2 >= name.size() || static_cast<unsigned char>(name[i]) != 0xe2)
        return false;
    const auto second = static_cast<unsigned char>(name[i + 1]);
    const auto third = static_cast<unsigned char>(name[i + 2]);
    return (second == 0x80 && third >= 0xaa && third <= 0xae) ||
           (second == 0x81 && third >= 0xa6 && third <= 0xa9);
}

} // namespace

std::string SafePathComponent(std::string name)
{
    return SafePathComponent(std::move(name), kMaxNameBytes);
}

std::string SafePathComponent(std::string name, size_t maxBytes)
{
    if (name.empty() || name == "." || name == "..")
        return "_";
    // Printable ASCII short enough, as most names are, comes out as it went in: nothing below
    // replaces, re-encodes or cuts any of it.
    const bool plain = name.size() <= maxBytes && std::all_of(name.begin(), name.end(), [](char c) {
                           return c >= 0x20 && c < 0x7f && !IsSeparator(c);
                       });
    if (plain)
        return name;
    std::string safe;
    safe.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (IsSeparator(char(c)) || c < 0x20 || c == 0x7f) {
            safe += '_';
        } else if (c == 0xc2 && i + 1 < name.size() &&
                   (static_cast<unsigned char>(name[i + 1]) & 0xe0) == 0x80) {
            // U+0080 to U+009F: terminal controls, as invisible in a listing as C0 ones.
            safe += '_';
            ++i;
        } else if (IsBidiControl(name, i)) {
            // Embeddings, overrides and isolates turn the rest of the name around on screen:
            // "\u202Eqvesc36gpj.exe" shows as a picture whose name ends in ".exe.jpg".
            safe += '_';
            i += 2;
        } else {
            safe += char(c);
        }
    }
    // Measured as the file system will see it: a peer's 255 bytes of Latin-1 are 765 of UTF-8.
    const QByteArray encoded = QString::fromUtf8(safe.data(), qsizetype(safe.size())).toUtf8();
    return FitName(std::string(encoded.constData(), size_t(encoded.size())), std::string(),
                   maxBytes);
}

std::string FitName(const std::string& name, const std::string& mark, size_t maxBytes)
{
    std::string stem = name;
    std::string extension;
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size()) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    if (stem.size() + mark.size() + extension.size() <= maxBytes)
        return stem + mark + extension;
    if (extension.size() > kMaxKeptExtensionBytes) {
        stem = name;
        extension.clear();
    }
    const size_t taken = mark.size() + extension.size();
    size_t cut = taken < maxBytes ? maxBytes - taken : 0;
    if (cut < stem.size()) {
        // Back to the first byte of the character the limit falls in.
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xc0) == 0x80)
            --cut;
        stem.resize(cut);
    }
    return stem + mark + extension;
}

QString EscapeHTML(QString text)
{
    text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return text;
}

QString ConvertLinks(const QString& text)
{
    // The last character must come from the second class, so a full stop, comma and the like
    // right after an address stay outside the link.
    // The word boundary counts every letter and digit, not only ASCII ones: an address glued
    // to the end of a word in any script is not one.
    static const QRegularExpression link(
        QStringLiteral("\\bhttps?://[-a-zA-Z0-9+&@#/%?=~_|!:,.;]*[a-zA-Z0-9+&@#/%=~_|]"),
        QRegularExpression::UseUnicodePropertiesOption);
    QString markup;
    qsizetype done = 0;
    for (auto it = link.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        // No quote can be in an address, so the escaped address is a whole attribute value.
        const QString address = EscapeHTML(match.captured());
        markup += EscapeHTML(text.mid(done, match.capturedStart() - done)) +
                  QStringLiteral("<a href=\"") + address + QStringLiteral("\">") + address +
                  QStringLiteral("</a>");
        done = match.capturedEnd();
    }
    return markup + EscapeHTML(text.mid(done));
}

std::string FormatSeconds(long seconds)
{
    const long hours = seconds / 60 / 60;
    const long days = hours / 24;
    std::string result;
    if (days != 0)
        result += std::to_string(days) + "d";
    if (days != 0 || hours % 24 != 0)
        result += std::to_string(hours % 24) + "h";
    result += std::to_string((seconds / 60) % 60) + "m";
    result += std::to_string(seconds % 60) + "s";
    return result;
}
