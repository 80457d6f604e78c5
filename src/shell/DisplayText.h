#pragma once

// Text between the store and the widgets. The store keeps byte strings; how they read depends on
// what they are. User and group names are shown with each stored byte one Latin-1 character, and
// read back the same way, so that any name the server hands out survives the round trip;
// everything else (search texts, file and folder names, paths, chat, notes, room names) is UTF-8.
// Every form decodes through these, never with a conversion of its own.

#include "store/Data.h"
#include "store/Settings.h"

#include <QString>

#include <string>
#include <string_view>

// Cells, titles and tooltips show at most this many UTF-16 units of one text: enough for any
// name or path a user reads, and one peer's value of 128 KiB costs no more than that to lay out.
constexpr qsizetype kMaxCellChars = 1000;

// One character as text is laid out (a letter or an emoji, with all the text joins to it) shows
// at most this many code points riding on it: combining marks, joiners and what they join,
// variation selectors, modifiers, tags. Real text needs a handful (the longest emoji sequences
// have nine), while laying out one character grows far faster than what rides on it: a letter
// with 8,000 accents holds the window for a third of a second, in a cell or a chat line alike.
constexpr int kMaxMarksPerCharacter = 16;
// A code point outside the Basic Multilingual Plane (an emoji, mostly) counts as this many units
// against a cut: a colour font draws each as a picture, and laying one out and painting it costs
// as much as a hundred letters or more.
constexpr qsizetype kUnitsPerWideCodePoint = 40;

// A user or group name for display, and a typed one for the store.
QString NameText(std::string_view name);
std::string NameBytes(const QString& text);

// Any other text of the store for display, and typed text for the store.
QString Utf8Text(std::string_view text);
std::string Utf8Bytes(const QString& text);

// A stored value shown as what its type says it is (ValueKind): a name with each byte one
// Latin-1 character, text and paths as UTF-8, numbers, times, words and addresses with each byte
// one character (they are ASCII when well made; a stray byte shows as itself rather than as a
// replacement that would hide it), and an item of a null type, or a null handle, as empty text.
// A value whose kind is its key's (a setting's text) reads as UTF-8 here: where the key is
// known, give its kind.
QString Shown(ItemPtr item);
QString Shown(const Type* type, std::string_view bytes);
QString Shown(ValueKind kind, std::string_view bytes);
// Typed text as the bytes a value of that kind, or of that type, is stored as: the reverse of
// Shown. Every name and every value stored one byte a character round-trips; a character such
// a value cannot hold becomes "?", and nothing is stored for a null type.
std::string StoredBytes(ValueKind kind, const QString& text);
std::string StoredBytes(const Type* type, const QString& text);

// A setting's text shown as its key says it is (a name, a path, a number...), and typed text as
// the bytes that setting keeps. A key with no value shows as empty text.
QString Shown(SettingKey key);
std::string StoredBytes(SettingKey key, const QString& text);

// A stored value byte for byte, whatever its kind: each byte one Latin-1 character, and back.
// Only for the store's inspection dialogs, which show what the store holds rather than what it
// means, keep their rows in the order of those bytes and find an item again by its row's text.
QString RawText(std::string_view bytes);
std::string RawBytes(const QString& text);

// Tab titles, menu entries and tool-bar buttons read a single "&" as the mark of a keyboard
// shortcut: "R&B" would show as "RB" and Alt+B would pick it. Every such text made from typed or
// peer text goes through this first, which doubles each "&" so that it shows as written.
QString EscapeMnemonics(const QString& text);

// A window title reads "[*]" as the place of its unsaved-changes mark, shown only while the
// window is modified: a user named "a[*]b" would be titled "ab". Every title made from typed or
// peer text goes through this first, which doubles each "[*]" so that it shows as written.
QString EscapeTitlePlaceholder(const QString& text);

// Text another user or the server chose, as one line: CR, LF, U+2028 and U+2029 become blanks,
// so that nothing reads as a line or row of its own; the direction controls U+202A-U+202E and
// U+2066-U+2069 become U+FFFD, so that nothing shows reversed or out of place, and what was there
// still shows. Every chat line, cell, title and tooltip made of such text goes through this.
QString OneLineText(QString text);

// Text cut to what laying it out costs, before any widget sees it: each character keeps at most
// kMaxMarksPerCharacter code points riding on it, an ellipsis in place of the rest, and the text
// as many whole characters as make at most maxUnits units, the ellipses counted and a code point
// outside the BMP as kUnitsPerWideCodePoint. When it does not end there, what is kept leaves room
// for tailUnits more: the caller's mark of the cut. Linear in what it keeps and passes over; it
// looks at most kMaxUnitsLookedAt a unit kept far into the text, and what lies further is left out
// as the end is.
struct LaidOutText
{
    static constexpr qsizetype kMaxUnitsLookedAt = 8;

    QString text;
    // Where in the text the kept part ends: the end was left out when that is short of its size.
    qsizetype end = 0;
    // The code points left out riding on kept characters.
    qint64 marksLeftOut = 0;
};
LaidOutText BoundedForLayout(const QString& text, qsizetype maxUnits, qsizetype tailUnits);

// Such text for a tree or list cell, a tab or window title or a button: one line, cut to
// kMaxCellChars ending in an ellipsis when longer, as BoundedForLayout cuts (a character is never
// cut in two, nor shows more than kMaxMarksPerCharacter marks). What the store holds stays as it
// came: a row goes back to its items through its tie.
QString CellText(const QString& text);

// Such text as a tooltip: one line, cut as a cell, and escaped so that a tooltip, which takes
// anything that looks like markup for markup, shows it as written.
QString ToolTipText(const QString& text);
