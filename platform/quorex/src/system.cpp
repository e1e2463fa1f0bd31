// Quick exit: flush what is buffered and end the process without running destructors.
#include <quorex/system.h>

#include <harlibs/log.h>
#include <unistd.h>

#include <cstdio>

namespace Quorex::System {

void QuickExit(int status) {
  Log_Flush();
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace Quorex::System
