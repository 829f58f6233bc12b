// The arctangent series: adds c * arctan(1/x) into an accumulator.
//
// c/x - c/(3x^3) + c/(5x^5) - ... is evaluated on base-100000 words: the
// power term c/x^(2j+1) is kept in `term` and divided by x^2 in place, and
// in the same sweep divided by 2j+1 and added into `acc` without carries.
// The words left in `acc` and `term` are defined by the straightforward
// evaluation, atan_accumulate_reference; every faster evaluation leaves
// exactly the same words.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace atanorg {

// How many series terms after c/x are summed for n words: the integer part
// of 5n / (ln(x^2) / ln 10). Zero or below means none.
std::int32_t series_term_count(std::int32_t n, double x);

struct SeriesProgress;

// The straightforward evaluation, one series term per sweep over the words.
// acc and term hold at least max(n, 1) words; acc[0..n) holds the sum so far.
// x is an integer of at least 2 held as a double (the formulas use x >= 5).
// With `progress`, done counts the word-steps swept and ends equal to total.
void atan_accumulate_reference(std::int32_t* acc, std::int32_t* term,
                               std::int32_t n, std::int32_t coef, double x,
                               SeriesProgress* progress = nullptr);

// The evaluations the library offers: the reference, and the fast
// evaluation (groups of terms over word segments, threaded) with its round
// kernel compiled for one instruction set each. Which of the latter exist
// depends on the processor family the program was built for.
enum class SeriesEngine {
  reference,  // atan_accumulate_reference: one series term per sweep
  scalar,     // one double at a time, any processor
  sse4,       // x86-64: SSE4.1/4.2, 2 doubles a vector
  avx2,       // x86-64: AVX2 and FMA, 4 doubles
  avx3,       // x86-64: AVX-512 F/BW/DQ/VL
  neon,       // aarch64: Advanced SIMD, 2 doubles
  sve,        // aarch64: SVE, scalable
  sve2,       // aarch64: SVE2, scalable
};

// The lowercase name ("reference", "avx2", ...), as tests and benchmarks
// show it, and the engine of a name.
const char* engine_name(SeriesEngine engine);
std::optional<SeriesEngine> engine_named(std::string_view name);
// The engines built into this program, the reference first, then the
// kernels from the lowest instruction set to the highest.
std::vector<SeriesEngine> compiled_engines();
// Whether this processor can run the engine (compiled, and the processor
// has the instructions).
bool engine_available(SeriesEngine engine);
// The fastest engine this processor can run.
SeriesEngine best_engine();
// Threads the engine runs by default: the processors this process can
// really use (usable_processors), at most MAX_THREADS.
int available_cores();

// Progress of one call, in word-steps (one word of one series term): what
// has been evaluated and what the whole call is expected to take. The
// engine only stores into it; readers may poll it from any thread.
struct SeriesProgress {
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
};

struct SeriesSettings {
  SeriesEngine engine = SeriesEngine::reference;
  int threads = 0;                     // 0: as many as suit the size, up to available_cores()
  SeriesProgress* progress = nullptr;  // optional
  // For tests: called by each thread before each round of work it takes
  // (thread 0 being the caller's), e.g. to delay some threads and so try
  // other orders of work. Null for none.
  void (*before_round)(int thread) = nullptr;
};

// Adds coef * arctan(1/x) into acc[0..n) with the given engine. Every
// engine and thread count leaves exactly the words of the reference in acc
// and term. The fast engines work in process-wide scratch storage sized for
// the largest request: one call at a time.
void atan_accumulate_with(const SeriesSettings& settings, std::int32_t* acc, std::int32_t* term,
                          std::int32_t n, std::int32_t coef, double x);

// The progress of the program's own evaluation (atan_accumulate).
SeriesProgress& program_progress();

// The program's call: atan_coef * arctan(1/atan_x) into the process-wide
// acc, over word_count words, with the best engine on all cores.
void atan_accumulate();

}  // namespace atanorg
