// Series engines on single formula terms, in ns per word-step: one word of
// one series pass of the reference evaluation, whose exact count is taken
// from a reference run of the same term. The reference runs once per term
// (it takes seconds at 100,000 digits); the fast engines several times.
//
//   series_bench [--digits=N] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/series.hpp"

namespace {

using namespace atanpi;

std::int32_t digits = 100000;

struct TermCase {
  std::int32_t coef;
  std::int32_t x;
};
const TermCase TERMS[] = {{16, 5}, {-4, 239}, {176, 57}, {-48, 682}, {48, 110443}};

std::int32_t words() { return digits / 5 + 3; }

// Word-steps of the reference for a term, counted once.
std::uint64_t word_steps(const TermCase& t) {
  static std::map<std::pair<int, int>, std::uint64_t> counted;
  auto& steps = counted[{t.coef, t.x}];
  if (steps == 0) {
    std::vector<std::int32_t> acc(words()), term(words());
    SeriesProgress progress;
    atan_accumulate_reference(acc.data(), term.data(), words(), t.coef, t.x, &progress);
    steps = progress.done.load();
  }
  return steps;
}

void run_term(benchmark::State& state, SeriesEngine engine, const TermCase t, int threads) {
  if (!engine_available(engine)) {
    state.SkipWithError("engine not available on this processor");
    return;
  }
  const std::uint64_t steps = word_steps(t);
  std::vector<std::int32_t> acc(words()), term(words());
  for (auto _ : state) {
    atan_accumulate_with(SeriesSettings{engine, threads, nullptr}, acc.data(), term.data(), words(), t.coef, t.x);
    benchmark::DoNotOptimize(acc.data());
  }
  state.counters["ns_per_word_step"] =
      benchmark::Counter(static_cast<double>(steps) * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                 benchmark::Counter::kInvert);
  state.counters["word_steps"] = static_cast<double>(steps);
}

void register_all() {
  for (const TermCase& t : TERMS) {
    const std::string term = "c=" + std::to_string(t.coef) + "/x=" + std::to_string(t.x);
    benchmark::RegisterBenchmark(("reference/" + term).c_str(), run_term, SeriesEngine::reference, t, 1)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseRealTime();
    for (SeriesEngine e : {SeriesEngine::avx2, SeriesEngine::portable}) {
      for (int threads = 1; threads <= available_cores(); ++threads) {
        auto* b = benchmark::RegisterBenchmark(
            (std::string(engine_name(e)) + "/threads=" + std::to_string(threads) + "/" + term).c_str(), run_term,
            e, t, threads);
        b->Unit(benchmark::kMillisecond)->UseRealTime();
        if (e == SeriesEngine::portable) b->Iterations(1);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; the rest goes to Google Benchmark.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--digits=", 9) == 0) {
      digits = std::atoi(argv[i] + 9);
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
