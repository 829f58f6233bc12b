#include "driver/progress_line.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>

#include "platform/platform.hpp"

namespace atanorg {
namespace {

// Redraws per second: often enough to look alive, rare enough to cost nothing.
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);
// No estimate before this much of a term is done; early rates mislead.
constexpr double MIN_FRACTION_FOR_ESTIMATE = 0.01;
// The width assumed for a terminal that does not give its own.
constexpr int DEFAULT_COLUMNS = 80;

// The terminal of a line on screen, for abandon().
std::atomic<int> line_fd{-1};

void write_text(int fd, const std::string& text) { write_fully(fd, text.data(), text.size()); }

int columns_of(int fd) {
  const int columns = terminal_columns(fd);
  return columns > 0 ? columns : DEFAULT_COLUMNS;
}

// Characters a line may have on a terminal `columns` wide: one less, since
// a line that fills the last column wraps at once on some terminals.
std::size_t line_room(int columns) { return columns > 1 ? static_cast<std::size_t>(columns - 1) : 0; }

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

std::string progress_frame(const std::string& text, std::size_t shown, int columns) {
  const std::size_t room = line_room(columns);
  const std::size_t drawn = std::min(text.size(), room);
  std::string frame(1, '\r');
  frame.append(text, 0, drawn);
  const std::size_t cover = std::min(shown, room);
  if (cover > drawn) frame.append(cover - drawn, ' ');
  return frame;
}

PublishedProgress& published_progress() {
  static PublishedProgress published;
  return published;
}

namespace {

void publish(const std::string& label, const SeriesProgress* progress) {
  PublishedProgress& p = published_progress();
  p.serial.fetch_add(1);
  std::snprintf(p.label, sizeof p.label, "%s", label.c_str());
  p.progress.store(progress);
  p.serial.fetch_add(1);
}

}  // namespace

ProgressLine::ProgressLine(int fd, bool enabled) : fd_(fd), active_(enabled && is_terminal(fd)) {}

ProgressLine::~ProgressLine() { end(); }

void ProgressLine::begin(const std::string& label, const SeriesProgress* progress) {
  publish(label, progress);
  if (!active_ || progress == nullptr) return;
  end();
  try {
    label_ = label;
    progress_ = progress;
    ending_ = false;
    drawer_ = std::thread([this] {
      try {
        draw_until_ended();
      } catch (const std::exception&) {
        // No memory for a line's text: the rest of the term goes undrawn.
      }
    });
  } catch (const std::exception&) {
    // No thread to draw with (none left to this user, no memory for its
    // stack): the run goes on without the line.
    active_ = false;
  }
}

void ProgressLine::end() {
  publish("", nullptr);
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
  if (fd >= 0 && in_terminal_foreground(fd)) write_fully(fd, "\n", 1);
}

void ProgressLine::draw_until_ended() {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, REDRAW_INTERVAL, [this] { return ending_; })) {
    // Checked at every redraw: a job moved to the background stops drawing,
    // and the cursor is no longer at its line when it comes back. The width
    // too, so that a resized window gets lines that fit.
    if (!in_terminal_foreground(fd_)) {
      line_fd.store(-1);
      shown_ = 0;
      continue;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string text = progress_text(label_, progress_->done.load(std::memory_order_relaxed),
                                           progress_->total.load(std::memory_order_relaxed), elapsed);
    const int columns = columns_of(fd_);
    line_fd.store(fd_);
    write_text(fd_, progress_frame(text, shown_, columns));
    shown_ = std::min(text.size(), line_room(columns));
  }
  if (line_fd.exchange(-1) >= 0 && shown_ > 0 && in_terminal_foreground(fd_)) {
    write_text(fd_, progress_frame("", shown_, columns_of(fd_)) + "\r");
  }
  shown_ = 0;
}

}  // namespace atanorg
