// SHA-256 of files and buffers, as 64 lower-case hex digits.
#pragma once
#include <cstddef>
#include <string>

// SHA-256 of a file's bytes. Returns 0, or -1 when it cannot be read.
int sha256_file(const char *path, std::string *hex);
// SHA-256 of a buffer.
std::string sha256_hex(const unsigned char *data, size_t len);
