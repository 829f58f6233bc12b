// For the web page's worker: the engine and the threads the program runs,
// and where it publishes the term being evaluated and its progress
// (ProgressLine). With threads the module's memory is a SharedArrayBuffer,
// and the page reads the record from there while the program runs;
// web/atanpi-page.js reads it at these offsets.
#include <emscripten.h>

#include <cstddef>

#include "driver/progress_line.hpp"
#include "engine/series.hpp"

namespace atanorg {

static_assert(offsetof(PublishedProgress, serial) == 0 && offsetof(PublishedProgress, label) == 4 &&
                  offsetof(PublishedProgress, progress) == 52 && sizeof(void*) == 4,
              "the page reads the record at these offsets");
static_assert(offsetof(SeriesProgress, done) == 0 && offsetof(SeriesProgress, total) == 8,
              "the page reads the counts as two 64-bit words");

}  // namespace atanorg

extern "C" EMSCRIPTEN_KEEPALIVE const atanorg::PublishedProgress* atanpi_progress_state() {
  return &atanorg::published_progress();
}

extern "C" EMSCRIPTEN_KEEPALIVE const char* atanpi_engine() { return atanorg::engine_name(atanorg::best_engine()); }

extern "C" EMSCRIPTEN_KEEPALIVE int atanpi_threads() { return atanorg::available_cores(); }
