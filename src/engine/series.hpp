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

// The limits of a call; every engine checks them before it starts.
//
// Largest x. The words are those of exact double arithmetic: every dividend
// t = w + r2 * radix and every product q * b must be an integer below 2^53.
// With |t| < 2^53 the quotient q = floor(t * rb), rb being 1/b rounded, is
// floor(t / b) or one off: one below only where t - q * b comes to 0 or 1,
// one above only where it comes to b - 1 (this needs t >= 2^52, x above
// 212,216). So a remainder r2 stays within -1 .. b + 1, a power-term word
// within -2 .. 1.67 * radix, |t| <= (b + 3) * radix and |q * b| <= |t| + b,
// all below 2^53 while b * (radix + 1) + 3 * radix < 2^53: x <= 300,118.
// The division by d = 2j+1 (below 2 * 10^7 at the capacity) is far inside.
// Past the bound the engines that fuse multiply and add (avx2, avx3) round
// otherwise than the reference's separate operations, from x = 396,749 on.
inline constexpr std::int32_t MAX_SERIES_X = 300000;
// Largest |coef|: the power term starts as the word coef, so it must be a
// word (below radix) for the bounds above and in series_config.hpp to hold.
inline constexpr std::int32_t MAX_SERIES_COEF = 99999;
// Every acc word stays below this in magnitude, on entry and after every
// block of at most config::MAX_BLOCK_PASSES passes: then no 32-bit sum can
// overflow in any engine (the bound is proved in series_config.hpp).
inline constexpr std::int32_t ACC_WORD_LIMIT = std::int32_t{1} << 30;

// What became of a call. Only `ok` leaves the series' words; an argument out
// of range is refused before any word is written.
enum class SeriesStatus {
  ok,
  too_many_words,     // n above ARRAY_CAPACITY
  x_out_of_range,     // x not an integer in 2 .. MAX_SERIES_X
  coef_out_of_range,  // |coef| above MAX_SERIES_COEF
  acc_out_of_range,   // an acc word reached ACC_WORD_LIMIT in magnitude: on
                      // entry (nothing written), or while summing (acc and
                      // term are then partly summed)
};

// Says what is wrong, e.g. "x is not an integer from 2 to 300000".
const char* series_status_text(SeriesStatus status);

// The argument checks of every call (the words of acc are checked apart):
// ok, too_many_words, x_out_of_range or coef_out_of_range. n <= 0 means no
// words and is fine.
SeriesStatus check_series_arguments(std::int32_t n, std::int32_t coef, double x);

// The straightforward evaluation, one series term per sweep over the words.
// acc and term hold at least max(n, 1) words; acc[0..n) holds the sum so far.
// x is an integer from 2 to MAX_SERIES_X held as a double (the formulas use
// 5 .. 110,443). With `progress`, done counts the word-steps swept and ends
// equal to total.
[[nodiscard]] SeriesStatus atan_accumulate_reference(std::int32_t* acc, std::int32_t* term, std::int32_t n,
                                                     std::int32_t coef, double x,
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
  wasm,       // WebAssembly: SIMD128, 2 doubles
  rvv,        // riscv64: the V extension, scalable
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
// The instructions this build needs beyond its architecture's minimum, by
// name, when this processor lacks them; nullptr when it has them. On 32-bit
// x86 the whole program computes its doubles with SSE2 (the x87 unit's
// 80-bit products would give other words): "SSE2" on a processor without.
const char* missing_instructions();
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
  // For tests: columns a thread when several share the work; 0 leaves it
  // to the engine (fewer for small requests).
  int columns_per_thread = 0;
};

// Adds coef * arctan(1/x) into acc[0..n), with term[0..max(n, 1)) as the
// power term's scratch, with the given engine: the one way into the series
// for the program, the tests and the benchmarks. Every engine and thread
// count that returns ok leaves exactly the words of the reference in acc
// and term. Arguments outside the limits above are refused
// with their status before any engine runs. The engines check the acc words
// after different passes, so near ACC_WORD_LIMIT one engine may refuse a
// call that another completes. The fast engines work in process-wide scratch
// storage sized for the largest request: one call at a time.
[[nodiscard]] SeriesStatus atan_accumulate(const SeriesSettings& settings, std::int32_t* acc, std::int32_t* term,
                                           std::int32_t n, std::int32_t coef, double x);

}  // namespace atanorg
