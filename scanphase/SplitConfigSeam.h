// Test seam for the one file splitCollectFiles opens without the platform.
#pragma once

#include <cstdio>

namespace kzfind_internal {

// How "split_config" is created; fopen unless a test installed another opener.
using SplitConfigOpener = FILE* (*)(const char* path, const char* mode);

// Installs opener (null restores fopen) and returns the previous one.
SplitConfigOpener setSplitConfigOpener(SplitConfigOpener opener);

}  // namespace kzfind_internal
