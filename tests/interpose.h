// interpose.h -- test doubles for system calls seen through the network module.
#ifndef VOK_TESTS_INTERPOSE_H
#define VOK_TESTS_INTERPOSE_H

// Calls of yp_get_default_domain so far.
extern int domain_requests;
// While set, binding a socket to a multicast address fails, as on systems
// that do not allow it.
extern bool refuse_group_bind;

#endif
