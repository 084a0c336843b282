// Structural checks on a prototype's code, so that malformed or hostile bytecode is rejected
// before the interpreter sees it.
#pragma once

#include "vm/prototype.h"

namespace quevro {

// Checks one prototype (not its nested ones).
bool verify_prototype(const Prototype* p);

// Checks a prototype and every prototype nested in it.
bool verify_prototype_tree(const Prototype* p);

}  // namespace quevro
