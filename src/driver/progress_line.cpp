#include "driver/progress_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace atanorg {
namespace {

// Redraws per second: often enough to look alive, rare enough to cost nothing.
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);
// No estimate before this much of a term is done; early rates mislead.
constexpr double MIN_FRACTION_FOR_ESTIMATE = 0.01;

// The terminal of a line on screen, for abandon().
std::atomic<int> line_fd{-1};

const char ERASE[] = "\r\033[K";

void write_all(int fd, const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string progress_text(const std::string& label, std::uint64_t done, std::uint64_t total, double elapsed) {
  const double fraction = total == 0 ? 0.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  char text[160];
  int len = std::snprintf(text, sizeof text, " %s: %d%% done, %.0f s elapsed", label.c_str(),
                          static_cast<int>(fraction * 100.0), elapsed);
  if (fraction >= MIN_FRACTION_FOR_ESTIMATE && fraction < 1.0 && len > 0 && len < static_cast<int>(sizeof text)) {
    const double left = elapsed * (1.0 - fraction) / fraction;
    std::snprintf(text + len, sizeof text - len, ", about %.0f s left", left);
  }
  return text;
}

ProgressLine::ProgressLine(int fd, bool enabled) : fd_(fd), active_(enabled && isatty(fd) == 1) {}

ProgressLine::~ProgressLine() { end(); }

void ProgressLine::begin(const std::string& label, const SeriesProgress* progress) {
  if (!active_ || progress == nullptr) return;
  end();
  label_ = label;
  progress_ = progress;
  ending_ = false;
  drawer_ = std::thread([this] { draw_until_ended(); });
}

void ProgressLine::end() {
  if (!drawer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_one();
  drawer_.join();
}

void ProgressLine::abandon() {
  const int fd = line_fd.exchange(-1);
  if (fd >= 0) {
    const char newline = '\n';
    (void)!write(fd, &newline, 1);
  }
}

void ProgressLine::draw_until_ended() {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, REDRAW_INTERVAL, [this] { return ending_; })) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string text = progress_text(label_, progress_->done.load(std::memory_order_relaxed),
                                           progress_->total.load(std::memory_order_relaxed), elapsed);
    line_fd.store(fd_);
    write_all(fd_, ERASE + text);
  }
  if (line_fd.exchange(-1) >= 0) write_all(fd_, ERASE);
}

}  // namespace atanorg
