#include "Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

namespace tether::Gzip {

namespace {

// zlib counts in unsigned int: large inputs are offered in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 30;

uInt piece(std::size_t left) {
  return static_cast<uInt>(std::min(left, kPiece));
}

}  // namespace

std::string compress(std::string_view bytes, int level) {
  z_stream z{};
  // 15 window bits, +16 for the gzip wrapper instead of zlib's own.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
  std::string out(
      deflateBound(&z, static_cast<uLong>(std::min<std::size_t>(bytes.size(), ULONG_MAX))) + 64,
      '\0');
  std::size_t inDone = 0, outDone = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (out.size() - outDone < 64) out.resize(out.size() * 2);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + inDone));
    z.avail_in = piece(bytes.size() - inDone);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + outDone);
    z.avail_out = piece(out.size() - outDone);
    const uInt inBefore = z.avail_in, outBefore = z.avail_out;
    const bool last = bytes.size() - inDone <= kPiece;
    rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
    inDone += inBefore - z.avail_in;
    outDone += outBefore - z.avail_out;
    if (rc == Z_STREAM_ERROR) break;
  }
  deflateEnd(&z);
  out.resize(outDone);
  return out;
}

Result<std::string> decompress(std::string_view gzip, std::size_t maxBytes) {
  using R = Result<std::string>;
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return R::failure("out of memory");
  std::string out;
  std::size_t inDone = 0;
  char buffer[64 * 1024];
  int rc = Z_OK;
  std::string error;
  for (;;) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data() + inDone));
    z.avail_in = piece(gzip.size() - inDone);
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    const uInt inBefore = z.avail_in;
    rc = inflate(&z, Z_NO_FLUSH);
    inDone += inBefore - z.avail_in;
    const std::size_t produced = sizeof buffer - z.avail_out;
    if (produced > maxBytes - out.size()) {
      error = kTooLarge;
      break;
    }
    out.append(buffer, produced);
    if (rc == Z_STREAM_END) {
      // Another member may follow (concatenated gzip files decode to their concatenation).
      if (inDone == gzip.size()) break;
      if (inflateReset(&z) != Z_OK) {
        error = "the gzip data could not be decoded";
        break;
      }
      continue;
    }
    if (rc == Z_BUF_ERROR && inDone == gzip.size() && produced == 0) {
      error = "the gzip data ends early";
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      error = std::string("the gzip data is damaged") + (z.msg ? std::string(": ") + z.msg : "");
      break;
    }
  }
  inflateEnd(&z);
  if (!error.empty()) return R::failure(error);
  return out;
}

}  // namespace tether::Gzip
