/* A small shared library with functions that take, return and fill structures of every
   alignment case, and call back into their callers; the native script tests load it. */
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <uchar.h>

struct CharDouble { char c; double d; };
struct ShortIntChar { short s; int i; char c; };
struct Nested { struct CharDouble a; short b; struct ShortIntChar c; };
struct Arrays { unsigned char bytes[4]; int ints[3]; uint16_t text[8]; double reals[2]; };
struct Pointers { const char* name; void* data; int n; const char16_t* wide; };
struct Small { int a; int b; };
union Number { char c; double d; int i; };
struct WithUnion { char tag; union Number value; };

/* Sizes and offsets as the compiler lays them out, by name. */
long fixture_layout(const char* what) {
  if (!strcmp(what, "CharDouble")) return sizeof(struct CharDouble);
  if (!strcmp(what, "CharDouble.d")) return offsetof(struct CharDouble, d);
  if (!strcmp(what, "ShortIntChar")) return sizeof(struct ShortIntChar);
  if (!strcmp(what, "ShortIntChar.c")) return offsetof(struct ShortIntChar, c);
  if (!strcmp(what, "Nested")) return sizeof(struct Nested);
  if (!strcmp(what, "Nested.c")) return offsetof(struct Nested, c);
  if (!strcmp(what, "Arrays")) return sizeof(struct Arrays);
  if (!strcmp(what, "Arrays.reals")) return offsetof(struct Arrays, reals);
  if (!strcmp(what, "Pointers")) return sizeof(struct Pointers);
  if (!strcmp(what, "WithUnion")) return sizeof(struct WithUnion);
  return -1;
}

double fixture_char_double_sum(const struct CharDouble* p) { return p->c + p->d; }
void fixture_char_double_fill(struct CharDouble* p, int c, double d) { p->c = (char)c; p->d = d; }

long fixture_sic_sum(const struct ShortIntChar* p) { return p->s + p->i + p->c; }
void fixture_sic_fill(struct ShortIntChar* p) { p->s = -2; p->i = 100000; p->c = 'z'; }

double fixture_nested_sum(const struct Nested* n) {
  return n->a.c + n->a.d + n->b + n->c.s + n->c.i + n->c.c;
}
void fixture_nested_fill(struct Nested* n) {
  n->a.c = 1; n->a.d = 0.5; n->b = -7; n->c.s = 300; n->c.i = -40000; n->c.c = 65;
}

long fixture_arrays_sum(const struct Arrays* a) {
  long s = 0;
  for (int i = 0; i < 4; ++i) s += a->bytes[i];
  for (int i = 0; i < 3; ++i) s += a->ints[i] * 1000;
  for (int i = 0; i < 8 && a->text[i]; ++i) s += a->text[i] * 1000000L;
  s += (long)(a->reals[0] + a->reals[1]) * 100000000L;
  return s;
}
void fixture_arrays_fill(struct Arrays* a) {
  memcpy(a->bytes, "ab\0\0", 4);
  a->ints[0] = 7; a->ints[1] = -8; a->ints[2] = 9;
  const char16_t* t = u"h\u00e9llo";
  memset(a->text, 0, sizeof a->text);
  for (int i = 0; t[i]; ++i) a->text[i] = t[i];
  a->reals[0] = 1.25; a->reals[1] = -2.5;
}

static const char16_t WIDE_NAME[] = u"w\u00fcrfel";
long fixture_pointers_check(const struct Pointers* p) {
  long wide = 0;
  if (p->wide) while (p->wide[wide]) ++wide;
  return (p->name ? (long)strlen(p->name) : -1) * 100 + p->n + (p->data ? 10 : 0) + wide * 10000;
}
void fixture_pointers_fill(struct Pointers* p) {
  p->name = "fixture"; p->data = NULL; p->n = 3; p->wide = WIDE_NAME;
}

long fixture_union_read(const struct WithUnion* u) { return u->tag == 'i' ? u->value.i : (long)u->value.d; }

int fixture_apply(int (*f)(int, int), int a, int b) { return f(a, b); }
double fixture_apply_double(double (*f)(double, float), double x) { return f(x, (float)x); }
int fixture_fill_through(void (*f)(int*), int start) { int v = start; f(&v); return v; }
long fixture_visit(long (*f)(const struct ShortIntChar*), short s, int i, char c) {
  struct ShortIntChar v = {s, i, c};
  return f(&v);
}
int fixture_small(struct Small (*f)(void)) { struct Small s = f(); return s.a * 10 + s.b; }
long long fixture_sum64(int64_t (*f)(int64_t, uint64_t), int64_t a, uint64_t b) { return f(a, b); }
const char* fixture_name_of(const char* (*f)(int), int n) { return f(n); }
// Callbacks whose arguments are not all in the first integer registers: eight ints (two on the
// stack), ints and floating-point values interleaved, and a float result.
long fixture_eight(long (*f)(int, int, int, int, int, int, int, int)) { return f(1, 2, 3, 4, 5, 6, 7, 8); }
double fixture_interleaved(double (*f)(int, double, int, float, int, double)) { return f(1, 0.5, 2, 0.25f, 3, 0.125); }
float fixture_float_result(float (*f)(float, int), float x) { return f(x, 3) * 2.0f; }

int64_t fixture_add64(int64_t a, int64_t b) { return a + b; }
uint64_t fixture_max_u64(void) { return UINT64_MAX; }
int fixture_is_null(const void* p) { return p == NULL; }
long fixture_wide_length(const char16_t* s) { long n = 0; while (s[n]) ++n; return n; }
const char16_t* fixture_wide_hello(void) { return u"h\u00e9llo"; }
int fixture_sign_byte(signed char b) { return b; }
unsigned fixture_unsigned_byte(unsigned char b) { return b; }
int fixture_double_writeW(char16_t* out, int n) {
  const char16_t* t = u"wide";
  int i = 0;
  for (; i < n - 1 && t[i]; ++i) out[i] = t[i];
  out[i] = 0;
  return i;
}
int fixture_bool(int b) { return b ? 7 : 3; }

/* Calls f from `threads` new threads at once, each `calls` times with its thread number, and
   returns the sum of all results; -1 when a thread cannot be started. The threads start together
   once all exist, so that the calls really overlap. */
#include <pthread.h>
#include <sched.h>

struct FanOut {
  int (*f)(int);
  int number;
  int calls;
  long sum;
  const int* go;
};

static void* fan_out_thread(void* arg) {
  struct FanOut* job = arg;
  while (!__atomic_load_n(job->go, __ATOMIC_ACQUIRE)) sched_yield();
  for (int i = 0; i < job->calls; ++i) job->sum += job->f(job->number);
  return NULL;
}

long fixture_call_on_threads(int (*f)(int), int threads, int calls) {
  enum { MOST = 16 };
  if (threads < 1 || threads > MOST) return -1;
  struct FanOut jobs[MOST];
  pthread_t ids[MOST];
  int go = 0;
  int started = 0;
  for (; started < threads; ++started) {
    jobs[started] = (struct FanOut){f, started + 1, calls, 0, &go};
    if (pthread_create(&ids[started], NULL, fan_out_thread, &jobs[started]) != 0) break;
  }
  __atomic_store_n(&go, 1, __ATOMIC_RELEASE);
  long sum = 0;
  for (int i = 0; i < started; ++i) {
    pthread_join(ids[i], NULL);
    sum += jobs[i].sum;
  }
  return started < threads ? -1 : sum;
}
