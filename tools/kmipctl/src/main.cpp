// kmipctl: asks a KMIP server for its protocol versions, its certificate, a key's State or a
// key's length and digest, over the same client library and connection text the daemon uses.
#include "kmipctl_commands.h"
#include "kmipctl_options.h"

#include <harlibs/ssl.h>

#include <iostream>

int main(int argc, char** argv) {
  Kmipctl::Options options;
  const Har::Status parsed = Kmipctl::ParseArguments(argc, argv, options);
  if (!parsed) {
    std::cerr << "kmipctl: " << parsed.message() << "\n" << Kmipctl::UsageText();
    return 2;
  }
  if (options.help) {
    std::cout << Kmipctl::UsageText();
    return 0;
  }
  if (options.version) {
    std::cout << "kmipctl " << ZYLD_VERSION << "\n";
    return 0;
  }
  SSL_Init(nullptr, nullptr, nullptr);
  int status = Kmipctl::RunCommand(options, std::cout, std::cerr);
  std::cout.flush();
  options.password.Wipe();
  SSL_Exit();
  return status;
}
