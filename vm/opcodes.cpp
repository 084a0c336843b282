#include "vm/opcodes.h"

namespace quevro {

int fb_encode(unsigned x) {
  int e = 0;
  while (x >= 16) {
    x = (x + 1) >> 1;
    e++;
  }
  if (x < 8) return static_cast<int>(x);
  return ((e + 1) << 3) | (static_cast<int>(x) - 8);
}

}  // namespace quevro
