/* memory.h -- allocation wrappers of the network module, callable from C and C++. */
#ifndef VOK_NETWORK_MEMORY_H
#define VOK_NETWORK_MEMORY_H

#ifdef __cplusplus
extern "C" {
#endif

/* malloc(size): null when nothing could be allocated. */
char* xmalloc(unsigned int size);
void xfree(void* ptr);
/* A place for checking the heap; does nothing. */
void xmemchk(void);

#ifdef __cplusplus
}
#endif

#endif
