#pragma once
#include <string>

namespace af {

// The directory that holds the program file, without a trailing separator (UTF-8 on
// Linux, as file names are). Every file the program keeps beside itself is named
// program_directory() + "/" + name.
std::string program_directory();
// Replaces the program directory for this process (tests, and the per-user data
// directory of an installed program).
void set_program_directory(std::string directory);

// program_directory() + "/" + name.
std::string program_file(const std::string& name);

}  // namespace af
