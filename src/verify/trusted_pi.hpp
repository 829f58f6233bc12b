// Decimal digits of pi from an independent multiple-precision library, the
// yardstick that results are checked against.
#pragma once

#include <string>

namespace atanpi {

// The first `places` decimal places of pi after "3.", truncated (not
// rounded): trusted_pi_places(5) is "14159".
std::string trusted_pi_places(long places);

}  // namespace atanpi
