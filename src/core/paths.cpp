// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace af {
namespace {

std::mutex& directory_mutex() {
  static std::mutex m;
  return m;
}

std::string& directory_override() {
  static std::string value;
  return value;
}

std::string executable_directory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec).string();
  return exe.parent_path().string();
}

// An installed program cannot write beside itself; its files then live in the per-user
// data directory ($XDG_DATA_HOME/AlbumFetcher, else ~/.local/share/AlbumFetcher).
std::string user_data_directory() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/share";
  } else {
    return {};
  }
  std::string dir = base + "/AlbumFetcher";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return ec ? std::string() : dir;
}

std::string default_directory() {
  std::string dir = executable_directory();
  if (!is_system_directory(dir) && ::access(dir.c_str(), W_OK) == 0) return dir;
  std::string data = user_data_directory();
  return data.empty() ? dir : data;
}

}  // namespace

bool is_system_directory(const std::string& directory) {
  std::string dir = std::filesystem::path(directory).lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  for (const char* system :
       {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/usr/games", "/bin", "/sbin"})
    if (dir == system) return true;
  return false;
}

std::string program_directory() {
  std::lock_guard lock(directory_mutex());
  if (directory_override().empty()) directory_override() = default_directory();
  std::string dir = directory_override();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

void set_program_directory(std::string directory) {
  std::lock_guard lock(directory_mutex());
  directory_override() = std::move(directory);
}

std::string program_file(const std::string& name) { return program_directory() + "/" + name; }

}  // namespace af
