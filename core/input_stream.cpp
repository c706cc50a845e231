#include "core/input_stream.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace fazorn {

bool isGzipStart(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
         static_cast<unsigned char>(bytes[1]) == 0x8b;
}

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
