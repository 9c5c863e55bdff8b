// Paths in their escaped form, written without a string made for each where possible.
#pragma once

#include <cstdio>

class KzFind;

namespace kzfind::detail {

// Writes the escaped form of path to out as C text (up to a NUL a subclass's escaping
// left). A path with nothing to escape goes out as it stands when the scan escapes as
// the host does. The stream belongs to the calling thread: stdio's lock is not taken.
// False when the write failed.
bool putEscaped(KzFind& scan, const char* path, FILE* out);

}  // namespace kzfind::detail
