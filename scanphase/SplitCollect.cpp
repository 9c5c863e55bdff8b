#include "scanphase/KzFind.h"
// STUB
CLoError KzFind::splitCollectFiles() { return CLoError::Success(); }
