// Runs one kmipctl command against a key server through qlkmipsimple.
//
// RunCommand reads the PEM files the options name (each at most 64 KiB; certificates are
// standardised as the daemon does, the private key is kept as written and wiped after use),
// connects, performs the command and writes its output to out. It returns the process exit
// status: 0 on success; 1 with one line on err (what failed, the library status and its
// explanation) otherwise. Key material never reaches out or err.
#pragma once

#include "kmipctl_options.h"

#include <ostream>

namespace Kmipctl {

int RunCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace Kmipctl
