#include "scanphase/KzFind.h"
// STUB
CLoError KzFind::Finish() { return CLoError::Success(); }
void KzFind::processIfindInterruption() {}
