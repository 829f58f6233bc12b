// Series engines on single formula terms, in ns per word-step: one word of
// one series pass of the reference evaluation. Every engine's time is
// divided by the same count, the reference's word-steps for the term, so
// the ratios between engines are ratios of times.
//
// Beside each engine, the floor of its instruction set: the word-step's
// operations (two dividend FMAs, two multiply-then-floor quotients, two
// remainder FMAs, one accumulation) on independent terms held in
// registers, with no memory traffic, on one core. "efficiency" is floor /
// (measured * threads): 1.0 would be a kernel with no overhead at all.
// "swept_floor_ratio" is the time against the floor of the word-steps the
// engine reports it swept, shared by the threads.
//
//   series_bench [--digits=N] [google benchmark flags]
//
// N is checked as the engine checks its calls: a count beyond the word
// capacity gives a message and exit status 2.
//
// The reference runs once per term (it takes seconds at 100,000 digits and
// minutes beyond); filter it out with --benchmark_filter=-reference... or a
// positive filter such as --benchmark_filter=avx.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/fixed_point.hpp"
#include "engine/series.hpp"
#include "engine/series_kernel.hpp"
#include "platform/platform.hpp"

namespace {

using namespace atanorg;

std::int32_t digits = 100000;

struct TermCase {
  std::int32_t coef;
  std::int32_t x;
};
const TermCase TERMS[] = {{16, 5}, {-4, 239}, {176, 57}, {-48, 682}, {48, 110443}};

std::int32_t words() { return digits / 5 + 3; }

// The reference's word-steps for a term, without running it: every pass
// sweeps from the lead index to word n. For a negative coefficient the lead
// index stays at 1 (the floor form has no zero words). For a positive one
// it follows the first non-zero word of c / x^(2j+1), at most two words a
// pass. The reference's run checks this against its own count.
std::uint64_t word_steps(const TermCase& t) {
  const std::int32_t n = words();
  const std::int32_t passes = series_term_count(n, t.x);
  if (passes <= 0) return 0;
  if (t.coef < 0) return std::uint64_t(passes) * std::uint64_t(n);
  std::uint64_t steps = 0;
  std::int64_t lead = 1;
  const double log_c = std::log10(double(t.coef)), log_x = std::log10(double(t.x));
  for (std::int32_t j = 1; j <= passes; ++j) {
    if (lead <= n) steps += std::uint64_t(n - lead + 1);
    // First non-zero word of the power term after pass j: word 1 holds the
    // integer part, word i the decimal places 5(i-2)+1 .. 5(i-1).
    const double log_value = log_c - (2.0 * j + 1.0) * log_x;
    const std::int64_t first = log_value >= 0 ? 1 : std::int64_t(std::floor(-log_value) / 5) + 2;
    lead = std::min(lead + 2, std::max(lead, first));
  }
  return steps;
}

// ns per word-step of the floor sweep of an engine's instruction set, on
// one core: the best of its term counts and of a few repetitions.
double floor_ns(const RoundKernel& kernel) {
  static std::map<SeriesEngine, double> measured;
  auto found = measured.find(kernel.engine);
  if (found != measured.end()) return found->second;
  const double lanes = static_cast<double>(kernel.lanes());
  double best = std::numeric_limits<double>::infinity();
  for (int terms : FLOOR_TERM_COUNTS) {
    const std::int64_t steps = 4'000'000 / (terms * static_cast<std::int64_t>(lanes)) + 1;
    for (int rep = 0; rep < 5; ++rep) {
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(kernel.floor_sweep(steps, terms, radix));
      const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
      best = std::min(best, took.count() / (double(steps) * terms * lanes));
    }
  }
  measured[kernel.engine] = best;
  return best;
}

void run_floor(benchmark::State& state, const RoundKernel* kernel) {
  for (auto _ : state) state.counters["ns_per_word_step"] = floor_ns(*kernel);
  state.counters["lanes"] = static_cast<double>(kernel->lanes());
}

void run_term(benchmark::State& state, SeriesEngine engine, const TermCase t, int threads) {
  const std::uint64_t steps = word_steps(t);
  std::vector<std::int32_t> acc(words()), term(words());
  SeriesProgress progress;
  double seconds = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const SeriesStatus status = atan_accumulate(SeriesSettings{engine, threads, &progress}, acc.data(),
                                                term.data(), words(), t.coef, t.x);
    benchmark::DoNotOptimize(acc.data());
    if (status != SeriesStatus::ok) {
      state.SkipWithError(series_status_text(status));
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  // The reference counts its word-steps: the definition word_steps follows.
  if (engine == SeriesEngine::reference && progress.done.load() != steps) {
    state.SkipWithError(("the reference swept " + std::to_string(progress.done.load()) +
                         " word-steps, the model says " + std::to_string(steps))
                            .c_str());
  }
  const double ns = seconds * 1e9 / double(state.iterations()) / double(steps);
  state.counters["ns_per_word_step"] = ns;
  state.counters["word_steps"] = static_cast<double>(steps);
  if (const RoundKernel* kernel = round_kernel(engine)) {
    state.counters["floor_ns"] = floor_ns(*kernel);
    state.counters["efficiency"] = floor_ns(*kernel) / (ns * threads);
    // Against the floor of the word-steps the engine itself swept (its
    // progress count): what the schedule and the kernel lose around the
    // arithmetic, whatever words the engine skips or sweeps in vain.
    const double swept = static_cast<double>(progress.done.load());
    if (swept > 0) {
      state.counters["swept_floor_ratio"] = ns * double(steps) / (swept * floor_ns(*kernel) / threads);
    }
  }
}

void register_all() {
  for (const RoundKernel& k : round_kernels()) {
    if (!engine_available(k.engine)) continue;
    benchmark::RegisterBenchmark(("floor/" + std::string(engine_name(k.engine))).c_str(), run_floor, &k)
        ->Iterations(1);
  }
  for (const TermCase& t : TERMS) {
    const std::string term = "c=" + std::to_string(t.coef) + "/x=" + std::to_string(t.x);
    benchmark::RegisterBenchmark(("reference/" + term).c_str(), run_term, SeriesEngine::reference, t, 1)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseRealTime();
    for (SeriesEngine e : compiled_engines()) {
      if (e == SeriesEngine::reference || !engine_available(e)) continue;
      for (int threads = 1; threads <= available_cores(); ++threads) {
        auto* b = benchmark::RegisterBenchmark(
            (std::string(engine_name(e)) + "/threads=" + std::to_string(threads) + "/" + term).c_str(), run_term,
            e, t, threads);
        b->Unit(benchmark::kMillisecond)->UseRealTime();
        // The plain engine is an order of magnitude slower: one run is enough.
        if (e == SeriesEngine::scalar) b->Iterations(1);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --benchmark_out must not take a closed standard output's number.
  if (!open_closed_standard_descriptors()) return 2;
  // Our own flag first; the rest goes to Google Benchmark.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--digits=", 9) == 0) {
      const char* value = argv[i] + 9;
      char* end = nullptr;
      errno = 0;
      const long long parsed = std::strtoll(value, &end, 10);
      if (end == value || *end != '\0' || errno != 0 || parsed < 1 ||
          parsed > std::numeric_limits<std::int32_t>::max()) {
        std::fprintf(stderr, "series_bench: %s: expected a positive number of digits\n", argv[i]);
        return 2;
      }
      digits = static_cast<std::int32_t>(parsed);
      // The engine's own check, for every term.
      for (const TermCase& t : TERMS) {
        const SeriesStatus status = check_series_arguments(words(), t.coef, t.x);
        if (status != SeriesStatus::ok) {
          std::fprintf(stderr, "series_bench: %s: %s\n", argv[i], series_status_text(status));
          return 2;
        }
      }
    } else {
      rest.push_back(argv[i]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
