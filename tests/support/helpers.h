// Files for the tests; a file that cannot be made ends the test program.
#pragma once

#include <string>

// A fresh empty folder below `base`, ending in a slash.
std::string make_scratch_folder(const char* base);
// A fresh empty folder for one test; the process moves into it.
std::string enter_scratch_folder();

// `size` bytes below `alphabet` from a generator seeded with `seed`.
std::string random_bytes(std::size_t size, unsigned seed, int alphabet = 256);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
