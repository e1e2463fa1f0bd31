// zyld-token: signs a JWT with a private key (RS256 / ES256) or, for tests, an HMAC secret
// (HS256), with the claims given on the command line, and prints it.
// Exit status: 0 token printed, 1 key unreadable or unusable, 2 bad usage.
#include "token_options.h"
#include "token_signer.h"

#include <harlibs/secure.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>

namespace {

constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Reads a whole file of at most kMaxKeyFileBytes into wiping storage.
bool ReadKeyFile(const std::string& path, Har::Secret& out, std::string& error) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  out.resize(kMaxKeyFileBytes + 1);
  const size_t n = std::fread(out.data(), 1, out.size(), file.get());
  if (std::ferror(file.get())) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (n > kMaxKeyFileBytes) {
    error = path + " is larger than " + std::to_string(kMaxKeyFileBytes) + " bytes";
    return false;
  }
  out.resize(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ZyldToken::Options options;
  std::string error;
  switch (ZyldToken::ParseArguments(argc, argv, options, error)) {
    case ZyldToken::ParseStatus::Help:
      std::cout << ZyldToken::UsageText();
      return 0;
    case ZyldToken::ParseStatus::Error:
      std::cerr << "zyld-token: " << error << "\n" << ZyldToken::UsageText();
      return 2;
    case ZyldToken::ParseStatus::Ok:
      break;
  }
  Har::Secret key;
  const std::string& path =
      options.alg == ZyldToken::Algorithm::HS256 ? options.secretFile : options.keyFile;
  if (!ReadKeyFile(path, key, error)) {
    std::cerr << "zyld-token: " << error << "\n";
    return 1;
  }
  Har::Secret token;
  const auto status =
      ZyldToken::SignToken(options, key, static_cast<int64_t>(std::time(nullptr)), token, error);
  if (status != ZyldToken::SignStatus::Ok) {
    std::cerr << "zyld-token: " << (status == ZyldToken::SignStatus::KeyError ? path + ": " : "")
              << error << "\n";
    return 1;
  }
  std::cout << token.view() << "\n";
  return std::cout.flush() ? 0 : 1;
}
