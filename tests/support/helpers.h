// Files for the tests; a file that cannot be made ends the test program.
#pragma once

#include <string>

// A fresh empty folder for one test; the process moves into it.
std::string enter_scratch_folder();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
