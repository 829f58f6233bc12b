// Each compiled round kernel on its own, on every target this processor
// runs: a round on hand-built arguments must leave exactly what the scalar
// word step (series_detail.hpp) leaves, applied lane by lane and term by
// term as series_kernel.hpp describes a round. The rounds reach both of a
// kernel's paths (term by term below a group's count of rows, the wavefront
// from there), its masked and unmasked stores, both signs of a group's
// first term, and the values the series produces: words up to 1.67 * radix
// and remainders equal to their divisor, complement words 99999 with the
// remainders b-1 and d-1 and the word -1, x up to MAX_SERIES_X and
// divisors 2j+1 up to 2 * 10^7.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/series.hpp"
#include "engine/series_detail.hpp"
#include "engine/series_kernel.hpp"

namespace atanorg {

// Test names and failure messages show the engine by name.
void PrintTo(SeriesEngine engine, std::ostream* os) { *os << engine_name(engine); }

namespace {

constexpr double RADIX = 100000.0;
// Never a word, remainder, divisor or sum of a round: marks what a round
// must neither read nor write.
constexpr double GUARD = -0.375;
// Slots between one term's lanes and the next term's: the stride is not
// the lane count.
constexpr std::size_t STATE_GAP = 3;

enum class WordKind { digits, carried, complement };
const char* const WORD_KIND_NAMES[] = {"digits", "carried", "complement"};

// One round's arguments with their storage, laid out as the fast
// evaluation lays them out. Each array holds a guard before its first
// element (so that no vector load is aligned) and guards after: a row past
// the last, and STATE_GAP slots after each term's lanes.
struct Round {
  std::size_t lanes = 1, stride = 1;
  int group = 2;
  std::int32_t rows = 0;
  double b = 0.0, rb = 0.0, sign = 1.0;
  std::uint32_t mask = 0;
  std::vector<double> words, deltas, r2, r1, d, rd;

  std::size_t cell(std::int32_t row, std::size_t lane) const { return 1 + row * lanes + lane; }
  std::size_t slot(int g, std::size_t lane) const { return 1 + g * stride + lane; }
  bool active(std::size_t lane) const { return (mask >> lane & 1U) != 0; }

  RoundArgs args() {
    RoundArgs a;
    a.words = words.data() + 1;
    a.deltas = deltas.data() + 1;
    a.rows = rows;
    a.r2 = r2.data() + 1;
    a.r1 = r1.data() + 1;
    a.d = d.data() + 1;
    a.rd = rd.data() + 1;
    a.term_stride = stride;
    a.radix = RADIX;
    a.b = b;
    a.rb = rb;
    a.sign = sign;
    a.lane_mask = mask;
    return a;
  }
};

// A round of random words, sums, divisors and remainders of the given kind.
Round random_round(std::mt19937_64& rng, const RoundKernel& kernel, std::int32_t rows, double sign,
                   std::uint32_t mask, WordKind kind, double x) {
  Round r;
  r.lanes = kernel.lanes();
  r.stride = r.lanes + STATE_GAP;
  r.group = kernel.group_terms;
  r.rows = rows;
  r.b = x * x;
  r.rb = 1.0 / r.b;
  r.sign = sign;
  r.mask = mask;
  const auto below = [&](double limit) { return double(rng() % std::uint64_t(limit)); };  // 0 .. limit-1
  for (auto* a : {&r.words, &r.deltas}) a->assign(1 + (rows + 1) * r.lanes, GUARD);
  for (auto* a : {&r.r2, &r.r1, &r.d, &r.rd}) a->assign(1 + r.group * r.stride, GUARD);
  for (std::size_t k = 0; k < r.lanes; ++k) {
    // In the complement kind, odd lanes start at the word -1, which a pass
    // enters with zero remainders; even lanes hold 99999s entered with b-1
    // and d-1.
    const bool minus_one = kind == WordKind::complement && k % 2 == 1;
    for (int g = 0; g < r.group; ++g) {
      const std::size_t at = r.slot(g, k);
      const std::uint64_t j = 1 + rng() % (g % 2 == 0 ? 100 : 10'000'000);
      r.d[at] = double(2 * j + 1);
      r.rd[at] = 1.0 / r.d[at];
      switch (kind) {
        case WordKind::digits:
          r.r2[at] = below(r.b);
          r.r1[at] = below(r.d[at]);
          break;
        case WordKind::carried:
          r.r2[at] = below(r.b + 1);
          r.r1[at] = below(r.d[at] + 1);
          break;
        case WordKind::complement:
          r.r2[at] = minus_one ? 0.0 : r.b - 1;
          r.r1[at] = minus_one ? 0.0 : r.d[at] - 1;
          break;
      }
    }
    for (std::int32_t row = 0; row < rows; ++row) {
      double& w = r.words[r.cell(row, k)];
      switch (kind) {
        case WordKind::digits: w = below(RADIX); break;
        case WordKind::carried: w = below(166'668); break;
        case WordKind::complement: w = minus_one && row == 0 ? -1.0 : 99999.0; break;
      }
      r.deltas[r.cell(row, k)] = below(double(ACC_WORD_LIMIT)) - ACC_WORD_LIMIT / 2;
    }
  }
  return r;
}

// The round as series_kernel.hpp defines it: in each active lane, term g
// (sign * (-1)^g) sweeps the rows with its divisors and remainders, taking
// the words term g-1 left.
void scalar_round(Round& r) {
  for (std::size_t k = 0; k < r.lanes; ++k) {
    if (!r.active(k)) continue;
    for (int g = 0; g < r.group; ++g) {
      const std::size_t at = r.slot(g, k);
      const PassDivisors div{r.b, r.rb, r.d[at], r.rd[at]};
      const double sign = g % 2 == 0 ? r.sign : -r.sign;
      for (std::int32_t row = 0; row < r.rows; ++row) {
        double& w = r.words[r.cell(row, k)];
        double q;
        r.deltas[r.cell(row, k)] += sign * word_step(w, r.r2[at], r.r1[at], div, RADIX, q);
        w = q;
      }
    }
  }
}

// Where the kernel's round first differs from the scalar one, or "" where
// it does not. An idle lane's remainders are the round's working space and
// not compared; everything else is, guards included.
std::string first_difference(const Round& got, const Round& want) {
  struct Array {
    const char* name;
    const std::vector<double> Round::*values;
    bool state;  // per term and lane, else per row and lane
  };
  for (const Array a : {Array{"word", &Round::words, false}, Array{"sum", &Round::deltas, false},
                        Array{"r2", &Round::r2, true}, Array{"r1", &Round::r1, true}, Array{"d", &Round::d, true},
                        Array{"rd", &Round::rd, true}}) {
    const std::vector<double>& g = got.*a.values;
    const std::vector<double>& w = want.*a.values;
    const std::size_t line = a.state ? got.stride : got.lanes;
    for (std::size_t i = 0; i < g.size(); ++i) {
      const std::size_t lane = (i + line - 1) % line;
      const bool scratch = a.values == &Round::r2 || a.values == &Round::r1;
      if (g[i] == w[i] || (scratch && i > 0 && lane < got.lanes && !got.active(lane))) continue;
      std::ostringstream out;
      out.precision(17);
      out << a.name;
      if (i == 0) {
        out << " before the first";
      } else {
        out << " at " << (a.state ? "term " : "row ") << (i - 1) / line << ", lane " << lane;
      }
      out << ": " << g[i] << ", the scalar step gives " << w[i];
      return out.str();
    }
  }
  return "";
}

// Every lane, none, one at either end, all but one at either end (the
// pipeline's fill and drain), alternate lanes.
std::set<std::uint32_t> lane_masks(std::size_t lanes) {
  const auto all = static_cast<std::uint32_t>((std::uint64_t{1} << lanes) - 1);
  const std::uint32_t last = all ^ (all >> 1);
  return {all, 0U, 1U, last, all ^ 1U, all ^ last, all & 0x55555555U, all & 0xAAAAAAAAU};
}

class KernelRound : public ::testing::TestWithParam<SeriesEngine> {
 protected:
  void SetUp() override {
    kernel_ = round_kernel(GetParam());
    ASSERT_NE(kernel_, nullptr);
    if (!kernel_runs_here(*kernel_)) GTEST_SKIP() << engine_name(GetParam()) << " does not run on this processor";
  }

  // Rounds of each row count, with both signs and every mask of
  // lane_masks, cycling through the kinds of words and the x's.
  void expect_scalar_rounds(const std::vector<std::int32_t>& row_counts) const {
    std::mt19937_64 rng(20260521);
    const double xs[] = {5, 239, 110443, 243820, MAX_SERIES_X, 2};
    int n = 0;
    for (const std::int32_t rows : row_counts) {
      for (const double sign : {1.0, -1.0}) {
        for (const std::uint32_t mask : lane_masks(kernel_->lanes())) {
          const auto kind = static_cast<WordKind>(n % 3);
          const double x = xs[n / 3 % std::size(xs)];
          ++n;
          Round got = random_round(rng, *kernel_, rows, sign, mask, kind, x);
          Round want = got;
          kernel_->round(got.args());
          scalar_round(want);
          ASSERT_EQ(first_difference(got, want), "")
              << rows << " rows, sign " << sign << ", lane mask 0x" << std::hex << mask << std::dec << ", "
              << WORD_KIND_NAMES[int(kind)] << " words, x = " << x;
        }
      }
    }
  }

  const RoundKernel* kernel_ = nullptr;
};

// Fewer rows than the group's terms: the terms one after another.
TEST_P(KernelRound, ByTerm) {
  std::vector<std::int32_t> rows;
  for (std::int32_t r = 1; r < kernel_->group_terms; ++r) rows.push_back(r);
  expect_scalar_rounds(rows);
}

// At least the group's count of rows: the terms as a wavefront, which
// fills, runs and drains.
TEST_P(KernelRound, Wavefront) {
  const std::int32_t group = kernel_->group_terms;
  expect_scalar_rounds({group, group + 1, 2 * group - 1, 3 * group + 5});
}

std::vector<SeriesEngine> kernel_engines() {
  std::vector<SeriesEngine> engines;
  for (const RoundKernel& k : round_kernels()) engines.push_back(k.engine);
  return engines;
}

// Every kernel built into the program; those this processor cannot run are
// skipped.
INSTANTIATE_TEST_SUITE_P(Kernels, KernelRound, ::testing::ValuesIn(kernel_engines()),
                         [](const ::testing::TestParamInfo<SeriesEngine>& info) {
                           return std::string(engine_name(info.param));
                         });

}  // namespace
}  // namespace atanorg
