// Test seam for the one file splitCollectFiles opens without the platform.
#pragma once

#include <cstdio>

namespace kzfind_internal {

// How "split_config" is created: unless a test installed another opener, as fopen
// would, but never through a link and created 0600 (kzhost::openStreamAt).
using SplitConfigOpener = FILE* (*)(const char* path, const char* mode);

// Installs opener (null restores the default) and returns the previous one.
SplitConfigOpener setSplitConfigOpener(SplitConfigOpener opener);

}  // namespace kzfind_internal
