#include "cli/archive_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "cli/cli_options.h"
#include "core/paths.h"
#include "download/archive.h"
#include "download/gallery.h"
#include "download/photo_saver.h"
#include "download/verify.h"
#include "util/codepage.h"

namespace af::cli {

namespace fs = std::filesystem;

int verify_archive(const std::string& root, bool repair, Terminal& terminal) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    terminal.note("albumfetcher-cli: --verify " + root + " is not a folder");
    return kExitUsage;
  }
  const std::vector<std::string> folders = indexed_album_folders(root);
  if (folders.empty()) {
    terminal.note("albumfetcher-cli: no album index (" + std::string(kAlbumIndexName) + ") under " + root);
    return kExitFailed;
  }
  std::size_t photos = 0;
  std::size_t unsound = 0;
  std::set<std::string> forget;  // a photo saved under two names is forgotten once
  for (const std::string& folder : folders) {
    const AlbumCheck check = check_album(folder);
    std::string album = fs::path(folder).lexically_relative(root).string();
    if (album == ".") album = fs::path(folder).filename().string();
    std::string out;
    for (const PhotoCheck& photo : check.photos) {
      if (photo.state == PhotoState::Sound) continue;
      out += album + "\t" + photo.photo.file_name + "\t" + photo_state_name(photo.state);
      bool forgotten = repair;
      if (repair && photo.state != PhotoState::Missing) {
        // Never deleted: moved aside, and fetched again only once it is out of the way.
        int move_error = 0;
        const std::string aside = move_aside(folder, photo.photo.file_name, move_error);
        forgotten = !aside.empty();
        out += aside.empty() ? "\tnot moved aside: " + gbk_to_utf8(disk_error_cause(move_error))
                             : "\tmoved aside to " + aside;
      }
      if (forgotten) forget.insert(photo.photo.photo_id);
      out += "\n";
    }
    for (const std::string& name : check.not_indexed) out += album + "\t" + name + "\tnot indexed\n";
    const std::size_t sound = check.count(PhotoState::Sound);
    out += album + "\t" + std::to_string(check.photos.size()) + " photos: " + std::to_string(sound) +
           " sound, " + std::to_string(check.count(PhotoState::Missing)) + " missing, " +
           std::to_string(check.count(PhotoState::Changed)) + " changed, " +
           std::to_string(check.count(PhotoState::Damaged)) + " damaged, " +
           std::to_string(check.not_indexed.size()) + " not indexed\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    photos += check.photos.size();
    unsound += check.photos.size() - sound;
  }
  if (repair) {
    int removed = 0;
    std::string out;
    for (const RecordChange& change : forget_photos(program_directory(), {forget.begin(), forget.end()})) {
      if (change.removed < 0) {
        out += "the download record " + change.path + " could not be changed\n";
        continue;
      }
      removed += change.removed;
      out += "removed " + std::to_string(change.removed) + " photo ids from the download record " +
             change.path + "\n";
    }
    if (static_cast<std::size_t>(removed) < forget.size())
      out += std::to_string(forget.size() - static_cast<std::size_t>(removed)) +
             " photo ids were in no download record of " + program_directory() + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  terminal.note(
      "albumfetcher-cli: " + std::to_string(folders.size()) + " albums, " + std::to_string(photos) +
      " photos: " + (unsound == 0 ? std::string("all sound") : std::to_string(unsound) + " not sound"));
  return unsound == 0 ? kExitSaved : kExitFailed;
}

int write_galleries(const std::string& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    std::fprintf(stderr, "albumfetcher-cli: --gallery %s is not a folder\n", folder.c_str());
    return kExitUsage;
  }
  const std::vector<std::string> users = gallery_user_folders(folder);
  if (users.empty()) {
    std::fprintf(stderr, "albumfetcher-cli: no album folder with an album index (%s) in %s\n",
                 std::string(kAlbumIndexName).c_str(), folder.c_str());
    return kExitFailed;
  }
  int status = kExitSaved;
  for (const std::string& user : users) {
    const GalleryOutcome page = write_gallery_page(user);
    if (page.result == GalleryOutcome::Failed) {
      std::fprintf(stderr, "albumfetcher-cli: 相册浏览页写入失败：%s（%s）\n", page.path.c_str(),
                   gbk_to_utf8(page.cause).c_str());
      status = kExitFailed;
      continue;
    }
    std::printf("相册浏览页：%s（%zu个相册，%zu张照片）\n", page.path.c_str(), page.albums, page.photos);
  }
  std::fflush(stdout);
  return status;
}

}  // namespace af::cli
