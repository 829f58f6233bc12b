// Work "run apart" on Windows: in this process, there being no fork. A
// commit limit reached ends the program, as the work's own handler says.
#include <new>

#include "platform/apart.hpp"

namespace atanorg {

ApartEnd run_apart(std::string (*work)(void*), void* context, std::string& text, std::string&) {
  try {
    text = work(context);
  } catch (const std::bad_alloc&) {
    return ApartEnd::out_of_memory;
  }
  return ApartEnd::done;
}

bool running_apart() { return false; }

}  // namespace atanorg
