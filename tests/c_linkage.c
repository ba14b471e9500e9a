/* c_linkage.c -- the network module's interface from a plain C program. */
int net_calls(void);

int main(void) { return net_calls() == 0 ? 0 : 1; }
