#pragma once

// Text between the store and the widgets. The store keeps byte strings; how they read depends on
// what they are. User and group names are shown with each stored byte one Latin-1 character, and
// read back the same way, so that any name the server hands out survives the round trip;
// everything else (search texts, file and folder names, paths, chat, notes, room names) is UTF-8.
// Every form decodes through these, never with a conversion of its own.

#include <QString>

#include <string>

// A user or group name for display, and a typed one for the store.
QString NameText(const std::string& name);
std::string NameBytes(const QString& text);

// Any other text of the store for display, and typed text for the store.
QString Utf8Text(const std::string& text);
std::string Utf8Bytes(const QString& text);

// Tab titles, menu entries and tool-bar buttons read a single "&" as the mark of a keyboard
// shortcut: "R&B" would show as "RB" and Alt+B would pick it. Every such text made from typed or
// peer text goes through this first, which doubles each "&" so that it shows as written.
QString EscapeMnemonics(const QString& text);

// A window title reads "[*]" as the place of its unsaved-changes mark, shown only while the
// window is modified: a user named "a[*]b" would be titled "ab". Every title made from typed or
// peer text goes through this first, which doubles each "[*]" so that it shows as written.
QString EscapeTitlePlaceholder(const QString& text);
