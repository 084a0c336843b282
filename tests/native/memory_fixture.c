/* A small shared object that the in-memory loader tests load from its bytes: a constructor that
   marks it initialised, a counter whose state shows whether two loads share one mapping, and a
   destructor that reports unloading through a flag the test hands in. */
#include <stddef.h>

static int constructed;
static int counter;
static int* unload_flag;

__attribute__((constructor)) static void memory_fixture_start(void) { constructed = 1; }

__attribute__((destructor)) static void memory_fixture_stop(void) {
  if (unload_flag != NULL) *unload_flag = 1;
}

int memory_fixture_constructed(void) { return constructed; }

/* Atomic, so that threads sharing one mapping can count exactly. */
int memory_fixture_increment(void) { return __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST); }

void memory_fixture_report_unload(int* flag) { unload_flag = flag; }

int MemoryFixtureSum(int a, int b) { return a + b; }

int memory_fixture_value = 42;
