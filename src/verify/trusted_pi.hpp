// Decimal digits of pi from independent multiple-precision arithmetic, the
// yardstick that results are checked against.
#pragma once

#include <cstddef>
#include <string>

namespace atanorg {

// The first `places` decimal places of pi after "3.", truncated (not
// rounded): trusted_pi_places(5) is "14159". Computed with GMP integers by
// the Chudnovsky series (binary splitting, on two threads when they can
// start, else on the caller's); a few seconds for the 5,000,040 places of a
// file at the program's cap, with about 55 MB of GMP's numbers at the most.
// Empty for places <= 0. Throws std::bad_alloc when the memory GMP will
// need (checked first) or a string cannot be had. GMP cannot report a
// failure: should it find no memory nonetheless, the handler set with
// on_pi_memory_failure runs, or else the process aborts.
std::string trusted_pi_places(long places);

// Sets what runs when GMP cannot get memory while computing pi: `handler`
// is given the bytes asked for and must end the process (it may run on any
// of the computation's threads).
void on_pi_memory_failure(void (*handler)(std::size_t bytes));

// The same places from MPFR's own constant (a different algorithm and a
// different library's code); two to three times slower. A second opinion
// for the tests, in its own library (mpfr_pi.cpp) so that atanpi-verify
// needs no MPFR.
std::string mpfr_pi_places(long places);

}  // namespace atanorg
