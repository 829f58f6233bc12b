// atanpi: the digits of pi by a Machin-like arctangent formula.
#include "driver/run.hpp"

int main() { return atanpi::run_program(); }
