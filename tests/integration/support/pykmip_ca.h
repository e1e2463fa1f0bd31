// Client certificates signed by the CA of the stack's PyKMIP folder, which the PyKMIP server
// trusts, with the validity a test chooses.
#pragma once

#include "stack.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace ZyldIt {

// Signs csr for client authentication with the CA in pykmipDir; the certificate's PEM text (empty
// when openssl failed). It expires `days` days and an hour from now, so that a check made within
// the hour counts exactly `days` whole days left.
inline std::string SignWithPykmipCa(const std::string& pykmipDir, const std::string& csr,
                                    int days) {
  constexpr auto kMargin = std::chrono::hours(1);
  const std::string dir = pykmipDir + "/signing";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/index.txt", std::ios::trunc).flush();
  std::ofstream(dir + "/daemon.csr") << csr;
  std::ofstream(dir + "/ca.cnf") << "[ca]\ndefault_ca = c\n[c]\ndatabase = " << dir
                                 << "/index.txt\nnew_certs_dir = " << dir << "\nserial = " << dir
                                 << "/serial\ndefault_md = sha256\n"
                                 << "policy = p\nunique_subject = no\n"
                                 << "x509_extensions = x\n[p]\ncommonName = optional\n"
                                 << "[x]\nextendedKeyUsage = clientAuth\n";
  const std::time_t end = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() +
                                                               std::chrono::days(days) + kMargin);
  char endText[16] = {};
  std::strftime(endText, sizeof(endText), "%Y%m%d%H%M%SZ", std::gmtime(&end));
  const int rc = RunCommand({"openssl", "ca", "-batch", "-notext", "-create_serial", "-config",
                             dir + "/ca.cnf", "-cert", pykmipDir + "/ca.crt", "-keyfile",
                             pykmipDir + "/ca.key", "-enddate", endText, "-in", dir + "/daemon.csr",
                             "-out", dir + "/daemon.crt"});
  return rc == 0 ? ReadFile(dir + "/daemon.crt") : std::string();
}

}  // namespace ZyldIt
