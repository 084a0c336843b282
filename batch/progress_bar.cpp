#include "batch/progress_bar.h"

#include <string>

namespace quevro::batch {
namespace {

constexpr int kBarWidth = 30;
// Redrawing more often than this costs time and shows nothing new.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string duration_text(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, (s / 60) % 60);
  else if (s >= 60) std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
  else std::snprintf(text, sizeof text, "%lds", s);
  return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* out, bool enabled) : out_(out), enabled_(enabled), start_(Clock::now()) {}

void ProgressBar::update(double done, double total) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  if (drawn_ && done < total && now - last_draw_ < kRedrawEvery) return;
  last_draw_ = now;
  draw(done, total);
}

void ProgressBar::draw(double done, double total) {
  double fraction = total > 0 ? done / total : 1.0;
  int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  double rate = seconds > 0 ? done / seconds : 0;
  std::string left = rate > 0 && done < total ? "  " + duration_text((total - done) / rate) + " left" : "";
  std::fprintf(out_, "\r[%s] %.0f/%.0f  %.0f rows/s%s\x1b[K", bar.c_str(), done, total, rate, left.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::end() {
  if (!drawn_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace quevro::batch
