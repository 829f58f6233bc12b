// The clean-up of dead runs' temporary files on WebAssembly: none.
// emscripten's flock does nothing, so a run cannot tell a dead run's file
// from a live one's, and taking a live run's would lose its result. Files
// of runs killed outright (SIGKILL under Node) stay.
#include "platform/platform.hpp"

namespace atanorg {

void remove_stale_temp_files(const std::string&, std::string_view) {}

}  // namespace atanorg
