// The engines: their names, which of them this program and this processor
// have, and the choice of the one that evaluates a call.
#include <algorithm>

#include "engine/series.hpp"
#include "engine/series_detail.hpp"
#include "engine/series_kernel.hpp"
#include "platform/platform.hpp"

namespace atanorg {

const char* engine_name(SeriesEngine engine) {
  switch (engine) {
    case SeriesEngine::reference: return "reference";
    case SeriesEngine::scalar: return "scalar";
    case SeriesEngine::sse4: return "sse4";
    case SeriesEngine::avx2: return "avx2";
    case SeriesEngine::avx3: return "avx3";
    case SeriesEngine::neon: return "neon";
    case SeriesEngine::sve: return "sve";
    case SeriesEngine::sve2: return "sve2";
    case SeriesEngine::wasm: return "wasm";
    case SeriesEngine::rvv: return "rvv";
  }
  return "unknown";
}

std::optional<SeriesEngine> engine_named(std::string_view name) {
  for (SeriesEngine e : compiled_engines()) {
    if (name == engine_name(e)) return e;
  }
  return std::nullopt;
}

std::vector<SeriesEngine> compiled_engines() {
  std::vector<SeriesEngine> engines{SeriesEngine::reference};
  for (const RoundKernel& k : round_kernels()) engines.push_back(k.engine);
  return engines;
}

const RoundKernel* round_kernel(SeriesEngine engine) {
  for (const RoundKernel& k : round_kernels()) {
    if (k.engine == engine) return &k;
  }
  return nullptr;
}

bool engine_available(SeriesEngine engine) {
  if (engine == SeriesEngine::reference) return true;
  const RoundKernel* kernel = round_kernel(engine);
  return kernel != nullptr && kernel_runs_here(*kernel);
}

SeriesEngine best_engine() {
  // The kernels are listed from the lowest instruction set up.
  static const SeriesEngine best = [] {
    SeriesEngine engine = SeriesEngine::reference;
    for (const RoundKernel& k : round_kernels()) {
      if (kernel_runs_here(k)) engine = k.engine;
    }
    return engine;
  }();
  return best;
}

const char* missing_instructions() {
#if defined(__i386__) && defined(__SSE2__)
  if (!__builtin_cpu_supports("sse2")) return "SSE2";
#endif
  return nullptr;
}

int available_cores() { return std::clamp(usable_processors(), 1, config::MAX_THREADS); }

SeriesStatus atan_accumulate(const SeriesSettings& settings, std::int32_t* acc, std::int32_t* term,
                             std::int32_t n, std::int32_t coef, double x) {
  if (const SeriesStatus status = check_series_arguments(n, coef, x); status != SeriesStatus::ok) return status;
  if (!acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  const RoundKernel* kernel = round_kernel(settings.engine);
  if (kernel == nullptr || !kernel_runs_here(*kernel)) {
    // (An engine this processor cannot run falls back to the reference.)
    return atan_accumulate_reference(acc, term, n, coef, x, settings.progress);
  }
  return atan_accumulate_fast(*kernel, settings, acc, term, n, coef, x);
}

}  // namespace atanorg
