/* A shared object that calls a function nothing defines: binding it must fail the load. */
extern int memory_fixture_nowhere_defined(void);

int memory_fixture_call_missing(void) { return memory_fixture_nowhere_defined(); }
