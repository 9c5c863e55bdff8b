#include "scanphase/KzFind.h"
// STUB: replaced by the command-line implementation.
CLoError KzFind::ParseCommandLine(int, char**) { return CLoError::Success(); }
