// Small stream helpers shared by the scan phase's sources.
#pragma once

#include <cstdio>

namespace kzfind::detail {

// Closes fp when open and forgets it. For closes whose result nobody can act on (a
// destructor, a restart); closes that decide a scan's outcome are checked where they happen.
inline void closeStream(FILE*& fp) {
  if (fp) fclose(fp);
  fp = nullptr;
}

}  // namespace kzfind::detail
