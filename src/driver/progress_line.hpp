// The progress line on standard error while a term is evaluated: term,
// percent of its work, elapsed and estimated remaining time, redrawn a few
// times a second and erased before the term's time line is printed. Drawn
// only when standard error is a terminal and the process is in its
// foreground (a background job would draw over the shell's prompt);
// otherwise nothing is written. Drawn with carriage returns and spaces only,
// never wider than the terminal, so that no terminal wraps it and any can
// draw it, one that cannot erase (TERM=dumb) included. A thread of its own
// draws it; where none can start, the run goes on without the line.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "engine/series.hpp"

namespace atanorg {

// The term being evaluated and its progress, published by ProgressLine
// whether or not it draws, for a host that shows the progress itself: the
// web page reads it from the module's memory (driver/web_exports.cpp).
struct PublishedProgress {
  std::atomic<std::int32_t> serial{0};        // odd while the fields change
  char label[48] = {};                        // "Atan(1/ 5 )", NUL-terminated
  std::atomic<const SeriesProgress*> progress{nullptr};  // null between terms
};
PublishedProgress& published_progress();

class ProgressLine {
 public:
  // Draws on `fd` when it is a terminal and `enabled`.
  ProgressLine(int fd, bool enabled);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Starts drawing the progress of `progress` for the term labelled `label`.
  void begin(const std::string& label, const SeriesProgress* progress);
  // Stops drawing and erases the line.
  void end();

  // For a signal handler: ends a line left on the terminal (async-signal-safe).
  static void abandon();

 private:
  void draw_until_ended();

  int fd_;
  bool active_ = false;
  std::size_t shown_ = 0;  // characters of the line on the terminal, at the cursor
  std::string label_;
  const SeriesProgress* progress_ = nullptr;
  std::thread drawer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ending_ = false;
};

// The text of one progress line (without the carriage return), e.g.
// " Atan(1/ 5 ): 42% done, 12 s elapsed, about 17 s left".
std::string progress_text(const std::string& label, std::uint64_t done, std::uint64_t total, double elapsed);

// The bytes that put `text` in place of a line of `shown` characters at the
// cursor, on a terminal `columns` wide: a carriage return, the text cut to
// columns - 1 characters (a line as wide as the terminal wraps on some) and
// spaces over the rest of the earlier line.
std::string progress_frame(const std::string& text, std::size_t shown, int columns);

}  // namespace atanorg
