// Key-server object benchmarks.
//   BM_WarmGenerateKey / BM_WarmDecrypt   32-byte data keys with a valid cache (in-process KMIP
//                                         server; no server round trip once the cache is filled)
//   BM_ColdGenerateKey                    a new object per call (caching off): connect, Get, Get
//                                         Attributes, disconnect, wrap; against PyKMIP
//   BM_BareFreshSessionGet                the library alone: connect, Get, disconnect; PyKMIP
// The PyKMIP pair runs only with ZYLD_KMS_BENCH_DIR (server folder of pykmip-server.sh) and
// ZYLD_KMS_BENCH_KEY (an active AES-256 key), as bench/kms/run.sh sets them.
#include "kms/kmip_kms.h"
#include "kms/kms_connector.h"

#include "kmip_test_server.h"

#include <benchmark/benchmark.h>
#include <harlibs/log.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

namespace K = Zyld::Kms;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An in-process server with an active AES-256 key and a provider object with a filled cache.
struct WarmProvider {
  WarmProvider() {
    Log_Configure(1, "/dev/null");
    certs = KmipTest::MakeCertSet(KmipTest::KeyKind::EcP256);
    KmipTest::KmipTestServer::Options options;
    options.server = certs.server;
    options.clientCaPem = certs.ca.certPem;
    options.peerLikeTls = false;
    server = std::make_unique<KmipTest::KmipTestServer>(options);
    server->Start();
    server->AddKey("mk-1", std::vector<uint8_t>(32, 0x42));
    auto info = std::make_shared<K::KmsInfo>();
    info->name = "bench";
    info->masterKeyId = "mk-1";
    info->clientCertificate = certs.client.certPem;
    info->privateKey.assign(certs.client.keyPem);
    info->trustedServerCertificates = {certs.ca.certPem};
    info->servers = {{"local", "127.0.0.1", server->Port()}};
    kms = std::make_unique<K::KmipKms>(info);
    kms->UpdateStatus();
  }
  KmipTest::CertSet certs;
  std::unique_ptr<KmipTest::KmipTestServer> server;
  std::unique_ptr<K::KmipKms> kms;
};

WarmProvider& Warm() {
  static WarmProvider provider;
  return provider;
}

void BM_WarmGenerateKey(benchmark::State& state) {
  K::KmipKms& kms = *Warm().kms;
  const int connections = Warm().server->Connections();
  std::string key, wrapped, error;
  for (auto _ : state) {
    if (kms.GenerateKey(0, 32, key, wrapped, error) != K::Success) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(wrapped.data());
  }
  if (Warm().server->Connections() != connections) {
    state.SkipWithError("the warm path connected to the server");
  }
}
BENCHMARK(BM_WarmGenerateKey);

void BM_WarmDecrypt(benchmark::State& state) {
  K::KmipKms& kms = *Warm().kms;
  std::string key, wrapped, error;
  kms.GenerateKey(0, 32, key, wrapped, error);
  for (auto _ : state) {
    if (kms.Decrypt(0, wrapped, key, error) != K::Success) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(key.data());
  }
}
BENCHMARK(BM_WarmDecrypt);

// The PyKMIP provider of run.sh, or null when not configured.
std::shared_ptr<const K::KmsInfo> PykmipInfo() {
  const char* dir = std::getenv("ZYLD_KMS_BENCH_DIR");
  const char* key = std::getenv("ZYLD_KMS_BENCH_KEY");
  if (dir == nullptr || key == nullptr) {
    return nullptr;
  }
  const std::string folder(dir);
  auto info = std::make_shared<K::KmsInfo>();
  info->name = "pykmip";
  info->masterKeyId = key;
  info->connectionTimeout = 20;
  info->clientCertificate = ReadFile(folder + "/client.crt");
  info->privateKey.assign(ReadFile(folder + "/client.key"));
  info->trustedServerCertificates = {ReadFile(folder + "/server.crt")};
  info->servers = {{"pykmip", "127.0.0.1", std::atoll(ReadFile(folder + "/port").c_str())}};
  return info;
}

void BM_ColdGenerateKey(benchmark::State& state) {
  auto info = PykmipInfo();
  if (info == nullptr) {
    state.SkipWithError("set ZYLD_KMS_BENCH_DIR and ZYLD_KMS_BENCH_KEY (bench/kms/run.sh does)");
    return;
  }
  std::string key, wrapped, error;
  for (auto _ : state) {
    K::KmipKms kms(info);
    if (kms.GenerateKey(0, 32, key, wrapped, error) != K::Success) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}
BENCHMARK(BM_ColdGenerateKey)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_BareFreshSessionGet(benchmark::State& state) {
  auto info = PykmipInfo();
  if (info == nullptr) {
    state.SkipWithError("set ZYLD_KMS_BENCH_DIR and ZYLD_KMS_BENCH_KEY (bench/kms/run.sh does)");
    return;
  }
  const Har::Secret spec = K::KmsConnector(info).BuildConnectionSpec(0, true, "");
  for (auto _ : state) {
    qlc_session* raw = nullptr;
    K::QlcResult connected(qlc_connect_key_manager(&raw, spec.c_str()));
    K::QlcSession session(raw);
    K::QlcResult result(
        qlc_perform(session.get(), "Get, Object, Id=%s", info->masterKeyId.c_str()));
    unsigned char* bytes = nullptr;
    int32_t length = 0;
    if (qlc_ok(connected.get()) != QLC_OK ||
        qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &bytes, &length) != QLC_OK) {
      state.SkipWithError("bare Get failed");
      break;
    }
    K::QlcValue value;
    value.pointer_ = bytes;
    value.SetSize(static_cast<size_t>(length));
  }
}
BENCHMARK(BM_BareFreshSessionGet)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
