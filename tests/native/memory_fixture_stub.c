/* The library memory_fixture_needs_library.c links against, kept out of its search path. */
int memory_fixture_stub_value(void) { return 7; }
