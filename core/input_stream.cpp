#include "core/input_stream.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

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

// A stream that cannot be looked at before it is read (standard input, a
// pipe): its first bytes are read here, and by their magic the rest is
// decompressed as gzip (zlib's inflate), as bzip2 (libbz2's decompressor) or
// passed on as it is. Concatenated members of either format are read on, as
// gzip and bzip2 themselves do; a stream that ends inside a member is an
// error (EIO), as for files.
class PipeStream {
 public:
  enum class Format { Plain, Gzip, Bzip2 };

  explicit PipeStream(int fd) : fd_(fd), input_(1 << 16) {}
  ~PipeStream() {
    if (format_ == Format::Gzip && started_) inflateEnd(&z_);
    if (format_ == Format::Bzip2 && started_) BZ2_bzDecompressEnd(&bz_);
    ::close(fd_);
  }
  PipeStream(const PipeStream&) = delete;
  PipeStream& operator=(const PipeStream&) = delete;

  // Reads the magic; false when reading failed (errno set).
  bool open() {
    while (filled_ < 4) {
      const ssize_t got = ::read(fd_, input_.data() + filled_, 4 - filled_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      filled_ += static_cast<std::size_t>(got);
    }
    const std::string_view magic(input_.data(), filled_);
    format_ = isGzipStart(magic)    ? Format::Gzip
              : isBzip2Start(magic) ? Format::Bzip2
                                    : Format::Plain;
    return start();
  }

  ssize_t read(char* buffer, std::size_t size) {
    if (size > (1u << 30)) size = 1u << 30;
    if (format_ == Format::Plain) {
      if (used_ < filled_) {
        const std::size_t n = std::min(size, filled_ - used_);
        std::memcpy(buffer, input_.data() + used_, n);
        used_ += n;
        return static_cast<ssize_t>(n);
      }
      for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got < 0 && errno == EINTR) continue;
        return got;
      }
    }
    std::size_t produced = 0;
    while (produced == 0 && !ended_) {
      if (used_ == filled_ && !atEnd_) {
        const ssize_t got = ::read(fd_, input_.data(), input_.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        filled_ = static_cast<std::size_t>(got);
        used_ = 0;
        atEnd_ = got == 0;
      }
      const std::size_t available = filled_ - used_;
      if (available == 0 && atEnd_) {
        if (!inMember_) {
          ended_ = true;
          break;
        }
        errno = EIO;  // the stream ends inside a member: cut short
        return -1;
      }
      bool memberEnd = false;
      if (format_ == Format::Gzip) {
        z_.next_in = reinterpret_cast<Bytef*>(input_.data() + used_);
        z_.avail_in = static_cast<uInt>(available);
        z_.next_out = reinterpret_cast<Bytef*>(buffer);
        z_.avail_out = static_cast<uInt>(size);
        const int r = inflate(&z_, Z_NO_FLUSH);
        used_ = filled_ - z_.avail_in;
        produced = size - z_.avail_out;
        if (r == Z_STREAM_END) {
          memberEnd = true;
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
          errno = EIO;
          return -1;
        }
      } else {
        bz_.next_in = input_.data() + used_;
        bz_.avail_in = static_cast<unsigned>(available);
        bz_.next_out = buffer;
        bz_.avail_out = static_cast<unsigned>(size);
        const int r = BZ2_bzDecompress(&bz_);
        used_ = filled_ - bz_.avail_in;
        produced = size - bz_.avail_out;
        if (r == BZ_STREAM_END) {
          memberEnd = true;
        } else if (r != BZ_OK) {
          errno = EIO;
          return -1;
        }
      }
      inMember_ = !memberEnd;
      if (memberEnd && !nextMember()) ended_ = true;
    }
    return static_cast<ssize_t>(produced);
  }

 private:
  bool start() {
    int r = 0;
    if (format_ == Format::Gzip) {
      z_ = z_stream{};
      r = inflateInit2(&z_, 15 + 16);  // gzip wrapper only
      if (r != Z_OK) return fail();
    } else if (format_ == Format::Bzip2) {
      bz_ = bz_stream{};
      r = BZ2_bzDecompressInit(&bz_, 0, 0);
      if (r != BZ_OK) return fail();
    }
    started_ = format_ != Format::Plain;
    inMember_ = started_;
    return true;
  }
  bool fail() {
    errno = ENOMEM;
    started_ = false;
    return false;
  }
  // After a member: another one follows when the next bytes carry the same
  // magic (anything else after the first member is ignored, as gzip does).
  bool nextMember() {
    if (used_ == filled_ && !atEnd_) {
      for (;;) {
        const ssize_t got = ::read(fd_, input_.data(), input_.size());
        if (got < 0 && errno == EINTR) continue;
        filled_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        used_ = 0;
        atEnd_ = got <= 0;
        break;
      }
    }
    const std::string_view next(input_.data() + used_, filled_ - used_);
    if (format_ == Format::Gzip) {
      if (!isGzipStart(next)) return false;
      inflateReset(&z_);
    } else {
      if (next.size() < 4 || !isBzip2Start(next)) return false;
      BZ2_bzDecompressEnd(&bz_);
      bz_ = bz_stream{};
      if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) {
        started_ = false;
        return false;
      }
    }
    inMember_ = true;
    return true;
  }

  int fd_;
  std::vector<char> input_;
  std::size_t filled_ = 0, used_ = 0;
  Format format_ = Format::Plain;
  z_stream z_{};
  bz_stream bz_{};
  bool started_ = false, atEnd_ = false, ended_ = false, inMember_ = false;
};

ssize_t readPipe(void* cookie, char* buffer, size_t size) {
  return static_cast<PipeStream*>(cookie)->read(buffer, size);
}

int closePipe(void* cookie) {
  delete static_cast<PipeStream*>(cookie);
  return 0;
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
  struct stat st {};
  if (path == "-" || (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))) {
    auto* pipe = new PipeStream(fd);
    if (!pipe->open()) {
      const int e = errno;
      delete pipe;
      errno = e;
      return nullptr;
    }
    cookie_io_functions_t io{};
    io.read = readPipe;
    io.close = closePipe;
    std::FILE* f = ::fopencookie(pipe, "rb", io);
    if (f == nullptr) delete pipe;
    return f;
  }
  {
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
