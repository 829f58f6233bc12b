// The run: dialogue, sizing, result file, the formula's terms, normalisation
// and the digits.
#pragma once

namespace atanpi {

// Exit status of a run whose input held no integer where one was expected.
inline constexpr int EXIT_BAD_INPUT = 2;

// Performs one whole run on standard input and output; returns the exit
// status: 0 after a completed run, 1 when the result file cannot be created
// or written, EXIT_BAD_INPUT for input without the expected integer.
int run_program();

}  // namespace atanpi
