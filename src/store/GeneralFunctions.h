#pragma once

// Small helpers shared across the client. Paths are byte strings in which both the backslash
// (as peers send them) and the slash (as local paths are) separate components, mixed freely.

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

// Bit n of value, counting the lowest bit as 1; n - 1 is taken modulo 32.
bool GetBit(unsigned int value, int n);

// The path's components in reverse order joined by "/": music\rock\band gives band/rock/music.
// Empty components (doubled, leading or trailing separators) are left out.
std::string ReversePathname(std::string path);

// n in decimal with a "," every three digits; 0 and below give the empty string.
QString CommafyNumber(long long n);

// The text after the last "." (separators are not considered), lower-cased; empty without a dot.
std::string GetFileExtension(std::string name);

// The path without its last component (one trailing separator is ignored); a path without a
// separator is returned whole.
std::string GetFolder(std::string path);

// The folder containing a folder path: trailing backslashes dropped, then GetFolder.
std::string GetParentFolder(std::string path);

// A comparison key for a path: runs of separators cut to their first character, one trailing
// separator dropped, lower-cased. No file system is consulted.
std::string GetAbsoluteFileName(std::string path);
// The same into a string of the caller's (Type::KeyBy's key of a name).
void AbsoluteFileNameKey(std::string_view path, std::string& key);

// The last component of a path (one trailing separator is ignored).
std::string GetFileName(std::string path);

// The longest name of one path component, in bytes, that the file systems the client writes to
// take ("File name too long" past it).
constexpr size_t kMaxNameBytes = 255;
// An extension (its dot included) longer than this is no extension any program goes by: a name
// cut to fit keeps it only up to this length.
constexpr size_t kMaxKeptExtensionBytes = 32;

// A name that another user or the server chose (a peer's file or folder name, a chat partner, a
// room) as one component of a local path: whatever it holds, it names one entry inside the folder
// it is put in. Empty, "." and ".." become "_"; each "/", "\\", NUL, other C0 control, DEL,
// UTF-8 C1 control and UTF-8 bidirectional control (U+202A-U+202E, U+2066-U+2069) becomes "_".
// The result is the UTF-8 the file system gets: each byte that is not part of a UTF-8 character
// becomes U+FFFD (three bytes), as decoding the name does. A name longer than maxBytes after that
// is cut as FitName cuts it. Every path built from such a name goes through here.
std::string SafePathComponent(std::string name);
std::string SafePathComponent(std::string name, size_t maxBytes);

// The UTF-8 name with mark put before its extension (at its end when it has none, or when the
// name is all extension, ".profile"), cut at a character boundary so that the whole is at most
// maxBytes: the extension stays, unless it is longer than kMaxKeptExtensionBytes. "a.mp3" with
// " (2)" gives "a (2).mp3".
std::string FitName(const std::string& name, const std::string& mark = std::string(),
                    size_t maxBytes = kMaxNameBytes);

// Replaces &, < and > by their entities; nothing else (quotes stay).
QString EscapeHTML(QString text);

// Plain text as markup: escaped with EscapeHTML, and each http or https address in it a link to
// that address. Addresses are found in the text as written, so a "<", ">" or "&" after one is
// never taken for part of an entity; punctuation right after an address stays outside the link.
QString ConvertLinks(const QString& text);

// A compact duration such as 1d1h1m1s; days and hours only when not zero (hours also when there
// are days), minutes and seconds always.
std::string FormatSeconds(long seconds);
