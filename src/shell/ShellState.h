#pragma once

// Set as the very first step of shutdown, before any service or widget is torn down. From then on
// the tool bars ignore focus changes, clicks and widgets being destroyed: the widgets that go
// during shutdown must not rebuild bars or rewrite the store that is about to be saved.
extern bool g_showIsOver;
