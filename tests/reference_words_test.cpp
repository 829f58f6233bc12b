// The reference's words for a few terms at small word counts, as the x86-64
// build computes them from acc zero: every build on every processor must
// compute the same words. Arithmetic in a wider precision than double
// changes them even where the digits come out right: an i686 build with x87
// arithmetic differs in every one of these terms, 16 * arctan(1/5) first at
// word 5 (-86607 for -86606). Each engine this processor runs is compared
// too, against the stored words rather than the reference of this build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "engine/series.hpp"

namespace atanorg {
namespace {

struct StoredWords {
  std::int32_t coef;
  double x;
  std::vector<std::int32_t> acc, term;  // n words each
};

// 16/5, -4/239, 48/110443 and 176/57 of the formulas, and -1/243820, whose
// complement words change (the term ends as -1, 100000, -1, 100000, ...).
const StoredWords STORED[] = {
    {16, 5, {
         3, 15834, -110422, -201907, -86606, -192036, -156882, -135529, -148387, 61662, -139437, 36245,
         -216977, 4385, 65432, 319652, -9943, 17235, -334752, 59661, -12944, 202054, -411084, 190619, -138327,
         -169632, -18117, 407831, -130808, 410479, 23460, 85233, -91643, -328043, -497495, -179746, -503904,
         205791, -131578, 413216},
     {
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         0, 0, 0, 0, 0, 0}},
    {-4, 239, {
         -1, 98326, 36959, 91701, 10453, 118472, -59837, -14182, 90359, -92262, 76946, 121965, 191920, 154845,
         12729, -13369, 330844, -130955, 369577, -25451, 183624, -219906, 419733, 42205, 44976, -20983, -35792,
         42751, 153976, 43113, 184666, 162879, 66151, -187847, -232310, 64964, -190542, 358669, 361062, 141718},
     {
         -1, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999,
         99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999,
         99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999, 99999}},
    {48, 110443, {
         0, 43, 46133, 29942, -86953, 8610, 65694, -55330, -8063, -64579, -49047, 19178, -29170, 8613, -129731,
         51836, -44278, -60455, 159344, 54691, 116292, 96121, -140380, 64639, 56352, 68132, -7887, -24842,
         119867, -60141, 26903, -50735, -7409, -141613, -26313, 73288, -100222, -32151, -202440, 238277},
     {
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         0, 0, 0, 0, 0, 0}},
    {176, 57, {
         3, 8740, 25701, 2838, -15046, 34311, 57208, 4212, -115084, 35784, 72415, 69135, -9200, 20361, -113926,
         -157503, -86520, 84045, 203049, -52281, 110514, -158720, -84360, 295984, 200573, -184588, 143331,
         240782, -169132, 280400, 173252, -119504, -266261, -261029, -143857, 260257, 29287, -192834, 105860,
         24355},
     {
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         0, 0, 0, 0, 0, 0}},
    {-1, 243820, {
         0, -2, 158987, -86269, 46422, 41123, 192484, 45500, 43927, 53620, 230785, -62871, 71561, 22389,
         354243, 115532, 75466, 3894, 122952, 33938, -28680, -66552, 243838, 51169, 12537, -59659, 203429,
         -64816, 214208, -79891, -14893, 15195, 381685, 6998, 44119, -106003, 287766, -12708, 254248, 13698,
         357089, -99460, 116802, -128761, 51980, -193340, 75887, -69492, 152306, 65336, 1721, -265042, 131546,
         169658, -7311, -64351, 208844, 31722, 383920, -138745},
     {
         -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1,
         100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1,
         100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1,
         100000, -1, 100000, -1, 100000, -1, 100000, -1, 100000, -1, 99999}},
};

TEST(ReferenceWords, EveryEngineComputesTheStoredWords) {
  for (const SeriesEngine engine : compiled_engines()) {
    if (!engine_available(engine)) continue;
    for (const StoredWords& s : STORED) {
      const auto n = static_cast<std::int32_t>(s.acc.size());
      std::vector<std::int32_t> acc(n, 0), term(n, 0);
      ASSERT_EQ(atan_accumulate_with(SeriesSettings{engine, 0, nullptr}, acc.data(), term.data(), n, s.coef, s.x),
                SeriesStatus::ok);
      for (const auto& [got, stored, name] : {std::tuple{&acc, &s.acc, "acc"}, std::tuple{&term, &s.term, "term"}}) {
        const auto at = std::mismatch(got->begin(), got->end(), stored->begin()).first - got->begin();
        EXPECT_EQ(at, n) << engine_name(engine) << ", " << s.coef << " * arctan(1/" << s.x << ") on " << n
                         << " words: " << name << " word " << at + 1 << " is " << (*got)[at] << ", stored "
                         << (*stored)[at];
      }
    }
  }
}

}  // namespace
}  // namespace atanorg
