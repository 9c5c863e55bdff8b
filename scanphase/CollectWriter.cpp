#include "scanphase/KzFind.h"
// STUB
int KzFind::addToCollect(const char*, long long) { return 0; }
bool KzFind::switchCollectFile() { return false; }
bool KzFind::closeCollectFile() { return true; }
