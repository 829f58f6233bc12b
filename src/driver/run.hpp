// The run: dialogue, sizing, result file, the formula's terms, normalisation
// and the digits.
#pragma once

#include "engine/series.hpp"

namespace atanorg {

// Exit status when the result file or standard output cannot be written.
inline constexpr int EXIT_WRITE_FAILED = 1;
// Exit status when the input holds no integer where one is expected, cannot
// be read, or the command line is wrong.
inline constexpr int EXIT_BAD_INPUT = 2;
// Exit status when the computation cannot be completed: the engine refuses
// a term (its limits are far beyond the formulas' terms and the digit cap,
// so only a fault in the program gets it), or memory runs out.
inline constexpr int EXIT_COMPUTATION_FAILED = 3;

// The engine the program runs with: the fastest this processor has, on all
// cores, publishing its progress.
SeriesSettings program_engine();

// Performs one whole run on standard input and output with the given
// engine and closes standard output; returns the exit status: 0 after a
// completed run, EXIT_WRITE_FAILED when the result file or standard output
// cannot be written, EXIT_BAD_INPUT for input without the expected integer
// or a read error, EXIT_COMPUTATION_FAILED when the engine refuses a term
// or memory runs out (the result file is then discarded). SIGPIPE is
// ignored from here on, so that a pipe on standard output whose reader has
// gone is an output error like any other. While standard error is the
// terminal whose foreground the process is in, each term's progress is
// shown there (where a thread can start to draw it).
int run_program(const SeriesSettings& engine = program_engine());

// Flushes and closes standard output. An error writing it, now or earlier in
// the run, is reported on standard error and turns a `status` of 0 into
// EXIT_WRITE_FAILED; returns the status to exit with.
int close_standard_output(int status);

}  // namespace atanorg
