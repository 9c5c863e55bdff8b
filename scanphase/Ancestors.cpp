#include "scanphase/KzFind.h"
// STUB
int KzFind::collectAncestors(const char*) { return 0; }
int KzFind::dumpAncestors() { return 0; }
void KzFind::syncAncestorIndex() {}
