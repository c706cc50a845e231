#include "core/input_stream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace fazorn {

bool isGzipStart(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
         static_cast<unsigned char>(bytes[1]) == 0x8b;
}

bool isBzip2Start(std::string_view bytes) {
  // "BZh" and the block size, '1' to '9' (in units of 100 kB).
  return bytes.size() >= 4 && bytes[0] == 'B' && bytes[1] == 'Z' && bytes[2] == 'h' &&
         bytes[3] >= '1' && bytes[3] <= '9';
}

bool isCompressedStart(std::string_view bytes) { return isGzipStart(bytes) || isBzip2Start(bytes); }

bool readHead(std::FILE* file, std::string& head, std::size_t bytes) {
  head.resize(bytes);
  head.resize(std::fread(head.data(), 1, head.size(), file));
  return std::ferror(file) == 0;
}

namespace {

ssize_t readGzip(void* cookie, char* buffer, size_t size) {
  // gzread takes an unsigned count: at most 1 GiB a call.
  const unsigned n = static_cast<unsigned>(size < (1u << 30) ? size : (1u << 30));
  const int got = gzread(static_cast<gzFile>(cookie), buffer, n);
  if (got < 0) {
    errno = EIO;  // a damaged or truncated compressed stream
    return -1;
  }
  return got;
}

int closeGzip(void* cookie) { return gzclose(static_cast<gzFile>(cookie)) == Z_OK ? 0 : EOF; }

// bzip2: libbz2's own file layer over a stdio stream of the file.
struct Bzip2Stream {
  std::FILE* raw = nullptr;
  BZFILE* bz = nullptr;
  bool ended = false;
};

ssize_t readBzip2(void* cookie, char* buffer, size_t size) {
  auto* s = static_cast<Bzip2Stream*>(cookie);
  if (s->ended) return 0;
  int error = BZ_OK;
  const int n = static_cast<int>(size < (1u << 30) ? size : (1u << 30));
  const int got = BZ2_bzRead(&error, s->bz, buffer, n);
  if (error == BZ_STREAM_END) {
    s->ended = true;  // one stream; what the archives ship
  } else if (error != BZ_OK) {
    errno = EIO;  // a damaged or truncated compressed stream
    return -1;
  }
  return got;
}

int closeBzip2(void* cookie) {
  auto* s = static_cast<Bzip2Stream*>(cookie);
  int error = BZ_OK;
  BZ2_bzReadClose(&error, s->bz);
  const int closed = std::fclose(s->raw);
  delete s;
  return closed;
}

// A regular file that starts with bzip2's magic (a stream cannot be looked
// at without consuming it, so pipes get gzip or plain bytes only).
std::FILE* openBzip2(int fd) {
  char magic[4];
  if (::pread(fd, magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
      !isBzip2Start(std::string_view(magic, sizeof magic)))
    return nullptr;
  std::FILE* raw = ::fdopen(fd, "rb");
  if (raw == nullptr) return nullptr;
  int error = BZ_OK;
  BZFILE* bz = BZ2_bzReadOpen(&error, raw, 0, 0, nullptr, 0);
  if (bz == nullptr || error != BZ_OK) {
    std::fclose(raw);
    errno = EIO;
    return reinterpret_cast<std::FILE*>(-1);
  }
  auto* s = new Bzip2Stream{raw, bz, false};
  cookie_io_functions_t io{};
  io.read = readBzip2;
  io.close = closeBzip2;
  std::FILE* f = ::fopencookie(s, "rb", io);
  if (f == nullptr) closeBzip2(s);
  return f != nullptr ? f : reinterpret_cast<std::FILE*>(-1);
}

}  // namespace

std::FILE* openDecompressing(const std::string& path) {
#if !defined(__GLIBC__)
  // No stream of our own on this system: plain files and standard input.
  if (path == "-") return ::fdopen(::dup(STDIN_FILENO), "rb");
  return std::fopen(path.c_str(), "rb");
#else
  // Standard input is duplicated so that closing the stream leaves it open.
  const int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (path != "-") {
    std::FILE* bz = openBzip2(fd);
    if (bz == reinterpret_cast<std::FILE*>(-1)) return nullptr;  // fd already closed
    if (bz != nullptr) return bz;
  }
  gzFile gz = gzdopen(fd, "rb");
  if (gz == nullptr) {
    const int e = errno != 0 ? errno : ENOMEM;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  gzbuffer(gz, 1 << 16);
  cookie_io_functions_t io{};
  io.read = readGzip;
  io.close = closeGzip;
  std::FILE* f = ::fopencookie(gz, "rb", io);
  if (f == nullptr) gzclose(gz);
  return f;
#endif
}

}  // namespace fazorn
