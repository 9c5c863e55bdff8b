#include "scanphase/KzFind.h"
// STUB
int KzFind::addToDirchange(const char*, bool) { return 0; }
void KzFind::reportFailFile(const char*, const char*) {}
