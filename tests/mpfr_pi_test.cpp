// Trusted pi (GMP, the Chudnovsky series) against MPFR's pi: two
// independent computations agree, to 100,000 places and at a run of 9s.
#include <gtest/gtest.h>

#include "verify/trusted_pi.hpp"

namespace atanorg {
namespace {

TEST(TrustedPi, AgreesWithMpfr) {
  EXPECT_EQ(trusted_pi_places(100000), mpfr_pi_places(100000));
  EXPECT_EQ(mpfr_pi_places(767).substr(758), "134999999");
}

}  // namespace
}  // namespace atanorg
