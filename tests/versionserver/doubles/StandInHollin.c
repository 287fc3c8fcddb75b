/* Stands in for Hollin.exe beside Quillet in the tests: only its version resource matters. */
int main(void) { return 0; }
