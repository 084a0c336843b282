// The progress of a run on a terminal: one line redrawn in place with a bar, the rows done, rows
// per second and an estimate of the time left. Silent when not drawing to a terminal.
#pragma once

#include <chrono>
#include <cstdio>

namespace quevro::batch {

class ProgressBar {
 public:
  ProgressBar(std::FILE* out, bool enabled);
  void update(double done, double total);
  void end();  // finishes the line, if one was drawn

 private:
  using Clock = std::chrono::steady_clock;
  void draw(double done, double total);

  std::FILE* out_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace quevro::batch
