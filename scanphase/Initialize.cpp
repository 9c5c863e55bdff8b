#include "scanphase/KzFind.h"
// STUB
CLoError KzFind::Initialize(int, char**) { return CLoError::Success(); }
CLoError KzFind::AppInitialize() { return CLoError::Success(); }
CLoError KzFind::JobInitialize() { return CLoError::Success(); }
