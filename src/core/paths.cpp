#include "core/paths.h"

#include <unistd.h>

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

}  // namespace

std::string program_directory() {
  std::lock_guard lock(directory_mutex());
  std::string dir = directory_override().empty() ? executable_directory() : directory_override();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

void set_program_directory(std::string directory) {
  std::lock_guard lock(directory_mutex());
  directory_override() = std::move(directory);
}

std::string program_file(const std::string& name) { return program_directory() + "/" + name; }

}  // namespace af
