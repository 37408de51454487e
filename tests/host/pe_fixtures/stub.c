/* A stand-in for the updater in resource tests: nothing runs, only its image layout matters. */
int main(void) { return 0; }
