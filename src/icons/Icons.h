#pragma once

namespace Icons {

// Registers the compiled-in images (":/icons/...", ":/resources/flags/<code>.png"). They live in
// a static library, whose registration the linker would otherwise drop; calling it again does
// nothing.
void InitResources();

} // namespace Icons
