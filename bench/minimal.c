/* The start-up baseline: a process that only exits. */
int main(void) { return 0; }
