// memory.cc -- allocation wrappers of the network module, callable from C and C++.
#include "memory.h"

#include <stdlib.h>

extern "C" {

char* xmalloc(unsigned int size) { return static_cast<char*>(malloc(size)); }

void xfree(void* ptr) { free(ptr); }

void xmemchk(void) {}

}  // extern "C"
