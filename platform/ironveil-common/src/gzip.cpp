// Gzip compression and bounded decompression on zlib's stream interface.
#include <ironveil-common/gzip.h>

#include <zlib.h>

#include <algorithm>

namespace Brask::Common::Gzip {

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip wrapper
constexpr size_t kChunk = 64 * 1024;

// Owns an initialised z_stream and ends it with the matching call.
class Stream {
 public:
  explicit Stream(bool inflating) : inflating_(inflating) {
    ok_ = inflating ? inflateInit2(&zs_, kGzipWindowBits) == Z_OK
                    : deflateInit2(&zs_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                                   Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Stream() {
    if (ok_) {
      inflating_ ? inflateEnd(&zs_) : deflateEnd(&zs_);
    }
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool ok() const { return ok_; }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
  bool inflating_;
  bool ok_ = false;
};

}  // namespace

bool CompressFromString(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() > kMaxInput) {
    return false;
  }
  Stream stream(false);
  if (!stream.ok()) {
    return false;
  }
  z_stream* zs = stream.get();
  std::vector<uint8_t> result(deflateBound(zs, static_cast<uLong>(text.size())));
  zs->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  zs->avail_in = static_cast<uInt>(text.size());
  zs->next_out = result.data();
  zs->avail_out = static_cast<uInt>(result.size());
  if (deflate(zs, Z_FINISH) != Z_STREAM_END) {
    return false;
  }
  result.resize(zs->total_out);
  out.swap(result);
  return true;
}

bool DecompressToString(const std::vector<uint8_t>& bytes, std::string& out) {
  if (bytes.empty() || bytes.size() > kMaxInput) {
    return false;
  }
  Stream stream(true);
  if (!stream.ok()) {
    return false;
  }
  z_stream* zs = stream.get();
  zs->next_in = const_cast<Bytef*>(bytes.data());
  zs->avail_in = static_cast<uInt>(bytes.size());
  std::string result;
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (result.size() >= kMaxOutput) {
      return false;
    }
    const size_t used = result.size();
    const size_t room = std::min(kChunk, kMaxOutput - used);
    result.resize(used + room);
    zs->next_out = reinterpret_cast<Bytef*>(result.data() + used);
    zs->avail_out = static_cast<uInt>(room);
    rc = inflate(zs, Z_NO_FLUSH);
    result.resize(used + room - zs->avail_out);
  }
  // Z_BUF_ERROR here means the input ended before the stream did.
  if (rc != Z_STREAM_END || zs->avail_in != 0) {
    return false;
  }
  out.swap(result);
  return true;
}

}  // namespace Brask::Common::Gzip
