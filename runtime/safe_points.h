// Safe points: places where a script thread may be held or ended on another thread's request
// without leaving anything half done. The runtime's waits and message primitives pass one before
// they block; the thread library installs what happens there.
#pragma once

namespace quevro {

using SafePointCheck = void (*)();

void install_safe_point_check(SafePointCheck check);

// Runs the installed check on the calling thread; it may block (a held thread) or unwind the
// calling script (an ended thread).
void reach_safe_point();

}  // namespace quevro
