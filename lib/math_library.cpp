// The native `math` namespace. Plain functions convert their arguments to numbers; a missing
// (or null) argument counts as 0 unless the function names another default.
#include "lib/math_library.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "lib/library_support.h"
#include "lib/size64.h"
#include "runtime/library_registry.h"
#include "runtime/random_seed.h"

namespace quevro {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double RADIANS_PER_DEGREE = 0.017453292519943295;

double number_arg(VmState* L, int idx) { return opt_number(L, idx, 0); }

int push_result(VmState* L, double n) {
  push_number(L, n);
  return 1;
}

template <double (*F)(double)>
int unary(VmState* L) {
  return push_result(L, F(number_arg(L, ARG1)));
}

int math_log(VmState* L) {
  double x = number_arg(L, ARG1);
  // Only a numeric base changes the logarithm; anything else leaves the natural one.
  if (is_number(L, ARG2)) return push_result(L, std::log(x) / std::log(to_number(L, ARG2)));
  return push_result(L, std::log(x));
}

int math_fmod(VmState* L) { return push_result(L, std::fmod(number_arg(L, ARG1), number_arg(L, ARG2))); }

int math_ldexp(VmState* L) {
  double m = number_arg(L, ARG1);
  int e = is_none_or_null(L, ARG2) ? 0 : check_integer(L, ARG2);
  return push_result(L, std::ldexp(m, e));
}

int math_frexp(VmState* L) {
  int e = 0;
  double m = std::frexp(number_arg(L, ARG1), &e);
  push_number(L, m);
  push_number(L, e);
  return 2;
}

int math_modf(VmState* L) {
  double integral = 0;
  double fraction = std::modf(number_arg(L, ARG1), &integral);
  push_number(L, integral);
  push_number(L, fraction);
  return 2;
}

int math_deg(VmState* L) { return push_result(L, number_arg(L, ARG1) / RADIANS_PER_DEGREE); }
int math_rad(VmState* L) { return push_result(L, number_arg(L, ARG1) * RADIANS_PER_DEGREE); }

// Halves round up: floor(x * 10^digits + 0.5) / 10^digits, the power truncated to an integer.
double round_to_digits(double x, double digits) {
  double scale = std::trunc(std::pow(10.0, digits));
  if (scale >= 1) {
    double scaled = x * scale;
    // Beyond the range of doubles there are no digits left to round away.
    if (!std::isfinite(scaled)) return x;
    return std::floor(scaled + 0.5) / scale;
  }
  // Negative digits: the truncated power would be 0 and the quotient NaN; they round to tens,
  // hundreds and so on instead.
  double step = std::trunc(std::pow(10.0, -digits));
  if (std::isinf(step)) return std::isfinite(x) ? 0 : x;
  return std::floor(x / step + 0.5) * step;
}

int math_round(VmState* L) { return push_result(L, round_to_digits(number_arg(L, ARG1), number_arg(L, ARG2))); }

// min and max: every argument must be a number or a numeric string.
template <bool WANT_LARGER>
int extreme(VmState* L) {
  int top = get_top(L);
  if (top < ARG1) return push_result(L, 0);
  double best = check_number(L, ARG1);
  for (int i = ARG2; i <= top; ++i) {
    double v = check_number(L, i);
    if (WANT_LARGER ? v > best : v < best) best = v;
  }
  return push_result(L, best);
}

int math_clamp(VmState* L) {
  double x = number_arg(L, ARG1);
  double lower = number_arg(L, ARG2);
  double upper = number_arg(L, ARG3);
  // The message keeps the words it has always had ("minValue must not exceed maxValue").
  if (lower > upper) library_error(L, "参数 minValue 不能大于 maxValue");
  return push_result(L, x < lower ? lower : std::min(x, upper));
}

int math_lerp(VmState* L) {
  double a = number_arg(L, ARG1);
  double b = number_arg(L, ARG2);
  double t = number_arg(L, ARG3);
  return push_result(L, a + t * (b - a));
}

// A coordinate field of a point table (through `_get`); a missing field is 0.
double point_field(VmState* L, int idx, const char* name) {
  get_field(L, idx, name);
  double n = 0;
  if (is_number(L, -1)) {
    n = to_number(L, -1);
  } else if (!is_none_or_null(L, -1)) {
    type_arg_error(L, idx, "point (table with numeric fields x and y)");
  }
  pop(L, 1);
  return n;
}

int math_dist(VmState* L) {
  double x1, y1, x2 = 0, y2 = 0;
  if (type_of(L, ARG1) == TAG_TABLE) {
    x1 = point_field(L, ARG1, "x");
    y1 = point_field(L, ARG1, "y");
    if (!is_none_or_null(L, ARG2)) {
      if (type_of(L, ARG2) != TAG_TABLE) type_arg_error(L, ARG2, "table");
      x2 = point_field(L, ARG2, "x");
      y2 = point_field(L, ARG2, "y");
    }
  } else {
    x1 = number_arg(L, ARG1);
    y1 = number_arg(L, ARG2);
    x2 = number_arg(L, ARG3);
    y2 = number_arg(L, ARG4);
  }
  return push_result(L, std::hypot(x2 - x1, y2 - y1));
}

// A fraction in [0, 1) from the standard generator, 32767 steps wide on every platform.
double random_fraction() { return (next_thread_random() % 0x7FFF) / 32767.0; }

int math_random(VmState* L) {
  switch (visible_args(L)) {
    case 0: return push_result(L, random_fraction());
    case 1: {
      double m = number_arg(L, ARG1);
      if (m < 1) arg_error(L, ARG1, "interval is empty");
      return push_result(L, std::floor(m * random_fraction()) + 1);
    }
    default: {
      double m = number_arg(L, ARG1);
      double n = number_arg(L, ARG2);
      if (n < m) arg_error(L, ARG2, "interval is empty");
      return push_result(L, m + std::floor(random_fraction() * (n - m + 1)));
    }
  }
}

int math_randomize(VmState* L) {
  unsigned seed = is_none_or_null(L, ARG1) ? system_random_seed() : static_cast<unsigned>(check_integer(L, ARG1));
  seed_thread_random(seed);
  return 0;
}

// A 1-based range over `length` items; negative positions count from the end.
int math_validate_range(VmState* L) {
  double length = check_number(L, ARG1);
  double i = opt_number(L, ARG2, 1);
  double j = opt_number(L, ARG3, length);
  if (i < 0) i += length + 1;
  if (j < 0) j += length + 1;
  if (i < 1) i = 1;
  if (j > length) j = length;
  if (length < i || j < 1 || j < i) return 0;
  push_number(L, i);
  push_number(L, j);
  return 2;
}

int math_size64(VmState* L) {
  push_size64(L, size64_from_arguments(L, ARG1));
  return 1;
}

const LibraryFunction MATH_FUNCTIONS[] = {
    {"abs", unary<+[](double x) { return std::fabs(x); }>},
    {"acos", unary<+[](double x) { return std::acos(x); }>},
    {"asin", unary<+[](double x) { return std::asin(x); }>},
    {"atan", unary<+[](double x) { return std::atan(x); }>},
    {"ceil", unary<+[](double x) { return std::ceil(x); }>},
    {"cos", unary<+[](double x) { return std::cos(x); }>},
    {"cosh", unary<+[](double x) { return std::cosh(x); }>},
    {"exp", unary<+[](double x) { return std::exp(x); }>},
    {"floor", unary<+[](double x) { return std::floor(x); }>},
    {"sin", unary<+[](double x) { return std::sin(x); }>},
    {"sinh", unary<+[](double x) { return std::sinh(x); }>},
    {"sqrt", unary<+[](double x) { return std::sqrt(x); }>},
    {"tan", unary<+[](double x) { return std::tan(x); }>},
    {"tanh", unary<+[](double x) { return std::tanh(x); }>},
    {"log10", unary<+[](double x) { return std::log10(x); }>},
    {"log", math_log},
    {"fmod", math_fmod},
    {"ldexp", math_ldexp},
    {"frexp", math_frexp},
    {"modf", math_modf},
    {"deg", math_deg},
    {"rad", math_rad},
    {"round", math_round},
    {"min", extreme<false>},
    {"max", extreme<true>},
    {"clamp", math_clamp},
    {"lerp", math_lerp},
    {"dist", math_dist},
    {"random", math_random},
    {"randomize", math_randomize},
    {"validateRange", math_validate_range},
    {"size64", math_size64},
    {nullptr, nullptr},
};

void set_constant(VmState* L, int table, const char* name, double value) {
  push_string(L, name);
  push_number(L, value);
  raw_set(L, table);
}

}  // namespace

void open_math_library(VmState* L) {
  register_library(L, "math", MATH_FUNCTIONS);
  int math = get_top(L);
  ensure_stack(L, 4);
  set_constant(L, math, "pi", PI);
  set_constant(L, math, "huge", HUGE_VAL);
  push_string(L, "_size64_meta");
  push_size64_metatable(L);
  raw_set(L, math);
  pop(L, 1);
}

}  // namespace quevro
