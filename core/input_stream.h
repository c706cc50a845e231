// Inputs read as a stream of bytes: standard input ("-"), pipes and
// devices, and gzip-compressed files (".dat.gz", ".csv.gz", ".fits.gz", as
// archives ship them), decompressed as they are read.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace fazorn {

// True when bytes begin with gzip's magic (1f 8b).
bool isGzipStart(std::string_view bytes);
// True when bytes begin with gzip's or bzip2's magic ("BZh1".."BZh9").
bool isCompressedStart(std::string_view bytes);

// The first `bytes` bytes of a stream (fewer at its end) into `head`;
// false when reading failed (errno set).
bool readHead(std::FILE* file, std::string& head, std::size_t bytes);

// Opens `path` ("-": standard input) for reading, decompressing a gzip or
// bzip2 stream (recognised by its first bytes, on disk and on pipes alike);
// anything else passes unchanged. The FILE* is read-only and not seekable;
// fclose releases it (standard input itself stays open). nullptr with errno
// set when the file cannot be opened.
std::FILE* openDecompressing(const std::string& path);

}  // namespace fazorn
