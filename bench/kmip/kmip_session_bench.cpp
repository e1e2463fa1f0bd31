// KMIP Get through qlkmipsimple against a running PyKMIP server (started by run.sh):
//   BM_FreshSessionGet  connect (TCP + TLS 1.2 with client certificate), Get, disconnect
//   BM_OpenSessionGet   one Get on a session kept open across all samples
// Every repetition is one iteration, so the reported median and p90 are per operation; give the
// number of samples with --benchmark_repetitions=N (run.sh does).
// Environment: ZYLD_KMIP_BENCH_DIR (the server folder of pykmip-server.sh) and
// ZYLD_KMIP_BENCH_KEY (the unique id of an AES key readable by the `client` identity).
#include <benchmark/benchmark.h>
#include <qlkmipsimple/connection_spec.h>
#include <qlkmipsimple/handles.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct BenchTarget {
  Har::Secret spec;
  std::string keyId;
  std::string error;
};

BenchTarget LoadTarget() {
  BenchTarget target;
  const char* dir = std::getenv("ZYLD_KMIP_BENCH_DIR");
  const char* key = std::getenv("ZYLD_KMIP_BENCH_KEY");
  if (dir == nullptr || key == nullptr) {
    target.error = "set ZYLD_KMIP_BENCH_DIR and ZYLD_KMIP_BENCH_KEY (bench/kmip/run.sh does)";
    return target;
  }
  std::string folder(dir);
  Qlkmip::ConnectionSpec in;
  in.host = "127.0.0.1";
  in.port = static_cast<uint16_t>(std::atoi(ReadFile(folder + "/port").c_str()));
  in.timeoutSeconds = 20;
  in.hasClientCertificate = true;
  in.certificatePem = ReadFile(folder + "/client.crt");
  in.publicPem = in.certificatePem;
  std::string privateKey = ReadFile(folder + "/client.key");
  Har::WipeGuard wipeKey(privateKey);
  in.privateKeyPem.assign(privateKey);
  in.trustedPems = {ReadFile(folder + "/ca.crt")};
  if (in.port == 0 || in.certificatePem.empty() || in.trustedPems[0].empty()) {
    target.error = "cannot read the server folder " + folder;
    return target;
  }
  target.spec = Qlkmip::BuildConnectionSpec(in);
  target.keyId = key;
  return target;
}

const BenchTarget& Target() {
  static const BenchTarget target = LoadTarget();
  return target;
}

// One Get on an open session; false with the reason in error on failure.
bool GetKey(qlc_session* session, const std::string& id, std::string& error) {
  Qlkmip::QlcResult result(qlc_perform(session, "Get, Object, Id=%s", id.c_str()));
  unsigned char* raw = nullptr;
  int32_t length = 0;
  int status = qlc_ok(result.get());
  if (status == QLC_OK) {
    status = qlc_value_of("Symmetric_Key/Key", result.get(), "bs", &raw, &length);
  }
  const Qlkmip::QlcValue key(raw, length < 0 ? 0 : static_cast<size_t>(length));
  if (status != QLC_OK || length <= 0) {
    error = "Get failed: status " + std::to_string(status) + " " + qlc_explain(result.get());
    return false;
  }
  return true;
}

bool Connect(Qlkmip::QlcSession& session, std::string& error) {
  qlc_session* raw = nullptr;
  Qlkmip::QlcResult result(qlc_connect_key_manager(&raw, Target().spec.c_str()));
  if (qlc_ok(result.get()) != QLC_OK) {
    error = "connect failed: status " + std::to_string(qlc_ok(result.get())) + " " +
            qlc_explain(result.get());
    return false;
  }
  session.reset(raw);
  return true;
}

void BM_FreshSessionGet(benchmark::State& state) {
  if (!Target().error.empty()) {
    state.SkipWithError(Target().error.c_str());
    return;
  }
  std::string error;
  for (auto _ : state) {
    Qlkmip::QlcSession session;
    if (!Connect(session, error) || !GetKey(session.get(), Target().keyId, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}

// One session serves every repetition, as PyKMIP's client bench reuses one connection: it is
// opened (and warmed by a first Get) on first use and closed at exit.
qlc_session* SharedSession(std::string& error) {
  static Qlkmip::QlcSession session;
  static std::string openError;
  static const bool opened =
      Connect(session, openError) && GetKey(session.get(), Target().keyId, openError);
  error = openError;
  return opened ? session.get() : nullptr;
}

void BM_OpenSessionGet(benchmark::State& state) {
  std::string error;
  qlc_session* session = Target().error.empty() ? SharedSession(error) : nullptr;
  if (session == nullptr) {
    state.SkipWithError(Target().error.empty() ? error.c_str() : Target().error.c_str());
    return;
  }
  for (auto _ : state) {
    if (!GetKey(session, Target().keyId, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}

double P90(const std::vector<double>& samples) {
  std::vector<double> sorted(samples);
  std::sort(sorted.begin(), sorted.end());
  return sorted.empty() ? 0.0 : sorted[(sorted.size() * 9 + 9) / 10 - 1];  // nearest rank
}

BENCHMARK(BM_FreshSessionGet)
    ->Iterations(1)
    ->ComputeStatistics("p90", P90)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSessionGet)
    ->Iterations(1)
    ->ComputeStatistics("p90", P90)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
