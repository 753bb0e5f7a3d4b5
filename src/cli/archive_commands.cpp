// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/archive_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "cli/cli_options.h"
#include "core/paths.h"
#include "download/album_places.h"
#include "download/archive.h"
#include "download/gallery.h"
#include "download/photo_saver.h"
#include "download/verify.h"
#include "util/codepage.h"

namespace af::cli {

namespace {

namespace fs = std::filesystem;

// The length of the UTF-8 sequence that `lead` starts; 0 when it starts none.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;  // a continuation byte, or the start of an overlong form
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return lead < 0xF5 ? 4 : 0;
}

// A text read from an archive, for one cell of a line: at most 60 characters (then "…"),
// control characters as spaces and bytes that are no UTF-8 as "?", so that it can neither
// split the table nor steer the terminal.
std::string shown_text(const std::string& text) {
  constexpr std::size_t kMost = 60;
  std::string shown;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++characters) {
    if (characters == kMost) return shown + "…";
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const std::size_t length = sequence_length(byte(0));
    bool whole = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) whole = (byte(k) & 0xC0) == 0x80;
    if (!whole) {
      shown += '?';
      ++i;
      continue;
    }
    const bool control = byte(0) < 0x20 || byte(0) == 0x7F || (byte(0) == 0xC2 && byte(1) < 0xA0);
    if (control)
      shown += ' ';
    else
      shown.append(text, i, length);
    i += length;
  }
  return shown;
}

// Why an album folder's pictures went unchecked.
std::string unchecked_cause(const AlbumCheck& check) {
  if (check.index_error == ENOENT) return "no album index";
  if (check.index_error != 0)
    return std::string("album index unreadable (") + std::strerror(check.index_error) + ")";
  return "album index holds no whole line";
}

// The user folders of the album folders found under `root`, those within it only: an album
// folder given alone is not folded with its neighbours.
std::vector<std::string> user_folders_within(const std::string& root, const std::vector<std::string>& folders) {
  std::set<std::string> users;
  for (const std::string& folder : folders) {
    const fs::path parent = fs::path(folder).parent_path();
    const std::string relative = parent.lexically_relative(root).string();
    if (!relative.empty() && !relative.starts_with("..")) users.insert(parent.string());
  }
  return {users.begin(), users.end()};
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + shown_text(name);
  return text;
}

// Folds every album held in several folders of each user folder into one (with `repair`),
// or names them. Returns the albums left split.
std::size_t fold_or_name_split_albums(const std::string& root, const std::vector<std::string>& users, bool repair) {
  std::string out;
  std::size_t split = 0;
  for (const std::string& user : users) {
    std::string where = fs::path(user).lexically_relative(root).string();
    where = where == "." ? "" : where + "/";
    if (!repair) {
      for (const auto& [id, names] : split_albums(user)) {
        out += where + shown_text(gbk_to_utf8(id)) + "\tin " + std::to_string(names.size()) + " folders: " +
               joined(names) + ": --repair folds them\n";
        ++split;
      }
      continue;
    }
    for (const FoldedAlbum& album : fold_user_folder(user)) {
      const FoldOutcome& fold = album.outcome;
      out += where + shown_text(album.target) + "\tfolded " + joined(album.sources) + ": " +
             std::to_string(fold.moved) + " photos moved, " + std::to_string(fold.duplicates) +
             " duplicates removed, " + std::to_string(fold.removed.size()) + " folders removed\n";
      for (const std::string& failure : fold.failures) out += where + shown_text(failure) + "\tnot moved\n";
    }
    split += split_albums(user).size();
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  return split;
}

}  // namespace

int verify_archive(const std::string& root, bool repair, Terminal& terminal) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    terminal.note("albumfetcher-cli: --verify " + root + " is not a folder");
    return kExitUsage;
  }
  std::vector<std::string> folders = album_folders_to_check(root);
  if (folders.empty()) {
    terminal.note("albumfetcher-cli: no album index (" + std::string(kAlbumIndexName) + ") under " + root);
    return kExitFailed;
  }
  // An album split over several folders is one album: a repair folds it first.
  const std::size_t split = fold_or_name_split_albums(root, user_folders_within(root, folders), repair);
  if (repair) folders = album_folders_to_check(root);
  std::set<std::string> albums;
  std::size_t photos = 0;
  std::size_t unsound = 0;
  std::size_t bad_lines = 0;
  std::size_t unchecked = 0;
  std::set<std::string> forget;  // a photo saved under two names is forgotten once
  for (const std::string& folder : folders) {
    std::string album = fs::path(folder).lexically_relative(root).string();
    if (album == ".") album = fs::path(folder).filename().string();
    std::string out;
    const auto write_out = [&] {
      std::fwrite(out.data(), 1, out.size(), stdout);
      std::fflush(stdout);
      out.clear();
    };
    // The photos are checked one by one; only those not sound are kept, to be told (and moved
    // aside) once the folder's files have been listed.
    std::vector<PhotoCheck> unsound_photos;
    std::set<std::string> ids;  // the album ids the folder's index lines carry
    const AlbumCheck check = check_album(
        folder,
        [&](const AlbumCheck& head) {
          // Told, never followed: such a line may name a file of another folder, or a folder.
          for (const BadIndexLine& line : head.bad_lines)
            out += album + "\t" + shown_text(line.text) + "\tbad index line\tline " +
                   std::to_string(line.number) + "\n";
          return !head.unchecked();
        },
        [&](const PhotoCheck& photo) {
          if (!photo.photo.album_id.empty()) ids.insert(photo.photo.album_id);
          if (photo.state != PhotoState::Sound) unsound_photos.push_back(photo);
        });
    bad_lines += check.bad_lines.size();
    if (check.unchecked()) {
      out += album + "\t" + unchecked_cause(check) + ": its " + std::to_string(check.picture_files) +
             " photo files unchecked\n";
      ++unchecked;
      write_out();
      continue;
    }
    for (const PhotoCheck& photo : unsound_photos) {
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
      if (out.size() >= 64 * 1024) write_out();
    }
    for (const std::string& name : check.not_indexed) out += album + "\t" + name + "\tnot indexed\n";
    const std::size_t sound = check.count(PhotoState::Sound);
    out +=
        album + "\t" + std::to_string(check.checked) + " photos: " + std::to_string(sound) +
        " sound, " + std::to_string(check.count(PhotoState::Missing)) + " missing, " +
        std::to_string(check.count(PhotoState::Changed)) + " changed, " +
        std::to_string(check.count(PhotoState::Damaged)) + " damaged, " +
        std::to_string(check.not_indexed.size()) + " not indexed" +
        (check.bad_lines.empty() ? "" : ", " + std::to_string(check.bad_lines.size()) + " bad index lines") +
        "\n";
    write_out();
    // A folder whose lines carry no album id counts as an album of its own.
    if (ids.empty()) ids.insert("\n" + folder);
    albums.merge(ids);
    photos += check.checked;
    unsound += check.checked - sound;
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
  const bool whole = unchecked == 0 && bad_lines == 0 && split == 0;
  std::string summary =
      "albumfetcher-cli: " + std::to_string(albums.size()) + " albums, " + std::to_string(photos) + " photos: " +
      (unsound == 0 && whole ? std::string("all sound") : std::to_string(unsound) + " not sound");
  if (unchecked > 0) summary += ", " + std::to_string(unchecked) + " album folders unchecked";
  if (bad_lines > 0) summary += ", " + std::to_string(bad_lines) + " bad index lines";
  if (split > 0) summary += ", " + std::to_string(split) + " albums in several folders";
  terminal.note(summary);
  return unsound == 0 && whole ? kExitSaved : kExitFailed;
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
