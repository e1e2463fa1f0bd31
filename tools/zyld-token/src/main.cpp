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
Har::Status ReadKeyFile(const std::string& path, Har::Secret& out) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return Har::Status::Error("cannot read " + path + ": " + std::strerror(errno));
  }
  out.resize(kMaxKeyFileBytes + 1);
  const size_t n = std::fread(out.data(), 1, out.size(), file.get());
  if (std::ferror(file.get())) {
    return Har::Status::Error("cannot read " + path + ": " + std::strerror(errno));
  }
  if (n > kMaxKeyFileBytes) {
    return Har::Status::Error(path + " is larger than " + std::to_string(kMaxKeyFileBytes) +
                              " bytes");
  }
  out.resize(n);
  return Har::Status::Ok();
}

}  // namespace

int main(int argc, char** argv) {
  ZyldToken::Options options;
  const Har::Status parsed = ZyldToken::ParseArguments(argc, argv, options);
  if (!parsed) {
    std::cerr << "zyld-token: " << parsed.message() << "\n" << ZyldToken::UsageText();
    return 2;
  }
  if (options.help) {
    std::cout << ZyldToken::UsageText();
    return 0;
  }
  if (options.version) {
    std::cout << "zyld-token " << ZYLD_VERSION << "\n";
    return 0;
  }
  Har::Secret key;
  if (const Har::Status read = ReadKeyFile(ZyldToken::KeyPath(options), key); !read) {
    std::cerr << "zyld-token: " << read.message() << "\n";
    return 1;
  }
  Har::Secret token;
  const Har::Status signing =
      ZyldToken::SignToken(options, key, static_cast<int64_t>(std::time(nullptr)), token);
  if (!signing) {
    std::cerr << "zyld-token: " << signing.message() << "\n";
    return 1;
  }
  std::cout << token.view() << "\n";
  return std::cout.flush() ? 0 : 1;
}
