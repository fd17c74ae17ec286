// The call frame around every entry from the interpreter: the per-thread nesting depth of calls.
#include "boundary/frame.hpp"

namespace velkor::boundary {

thread_local long NESTING VELKOR_TLS_MODEL = 0;

}  // namespace velkor::boundary
