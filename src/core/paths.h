// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace af {

// The directory that holds the program file, without a trailing separator (UTF-8 on
// Linux, as file names are). Every file the program keeps beside itself is named
// program_directory() + "/" + name. When that directory is not writable, or is a system
// folder (an installed program), the per-user data directory takes its place.
std::string program_directory();
// Replaces the program directory for this process (tests); an empty text restores the
// default.
void set_program_directory(std::string directory);

// Whether `directory` (absolute) is where the package manager or `cmake --install` puts
// programs (/usr/bin, /usr/local/bin, /bin, ...). A program there keeps its files per user
// even when it could write beside itself (as root), so removing its package leaves
// nothing behind.
bool is_system_directory(const std::string& directory);

// program_directory() + "/" + name.
std::string program_file(const std::string& name);

}  // namespace af
