// Entry point of the key-provider daemon. It takes no arguments; its settings come from the
// configuration file (ZYLD_CONFIG or the default path).
#include "daemon.h"

int main() { Zyld::RunDaemon(); }
