// The run: dialogue, sizing, result file, the formula's terms, normalisation
// and the digits.
#pragma once

#include "engine/series.hpp"

namespace atanpi {

// Exit status of a run whose input held no integer where one was expected.
inline constexpr int EXIT_BAD_INPUT = 2;

// The engine the program runs with: the fastest this processor has, on all
// cores, publishing its progress.
SeriesSettings program_engine();

// Performs one whole run on standard input and output with the given
// engine; returns the exit status: 0 after a completed run, 1 when the
// result file cannot be created or written, EXIT_BAD_INPUT for input
// without the expected integer. While standard error is a terminal, each
// term's progress is shown there.
int run_program(const SeriesSettings& engine = program_engine());

}  // namespace atanpi
