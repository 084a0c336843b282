/* A shared object that depends on a library the dynamic linker cannot find (it was linked
   against memory_fixture_stub.c without a search path to it). */
extern int memory_fixture_stub_value(void);

int memory_fixture_call_stub(void) { return memory_fixture_stub_value(); }
