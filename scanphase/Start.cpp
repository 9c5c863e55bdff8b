#include "scanphase/KzFind.h"
// STUB
CLoError KzFind::Start() { return CLoError::Success(); }
