#include "package/package_archive.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "package/archive_file.h"
#include "package/item_parsing.h"

namespace pelvane::package {

namespace {

struct ZipCloser {
  void operator()(zip_t* zip) const { zip_discard(zip); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipCloser>;

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileCloser>;

ZipHandle OpenArchive(const std::string& path, std::string& error) {
  int code = 0;
  zip_t* zip = OpenArchiveFile(path, &code);
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    error = code == ZIP_ER_NOZIP ? path + " is not a ZIP archive"
                                 : "cannot open package " + path + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return nullptr;
  }
  error.clear();
  return ZipHandle(zip);
}

std::int64_t SizeAt(zip_t* zip, std::int64_t index) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_SIZE)) {
    return -1;
  }
  return static_cast<std::int64_t>(std::min<zip_uint64_t>(st.size, INT64_MAX));
}

}  // namespace

PackageArchive::PackageArchive(std::string path) : path_(std::move(path)) {}

const PackageArchive::Directory* PackageArchive::CurrentDirectory() const {
  const std::optional<core::FileStamp> stamp = core::StampOf(path_);
  if (stamp && directory_ && directory_->stamp == *stamp) {
    lastError_.clear();
    return directory_.get();
  }
  directory_.reset();
  ZipHandle zip = OpenArchive(path_, lastError_);
  if (!zip) return nullptr;
  auto directory = std::make_shared<Directory>();
  if (stamp) directory->stamp = *stamp;
  zip_t* archive = zip.get();
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* entry = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (entry == nullptr) continue;
    Directory::Member& member = directory->byName[core::ToUpper(entry)];
    if (member.count++ == 0) {
      member.index = i;
      member.size = std::max<std::int64_t>(SizeAt(archive, i), 0);
    }
  }
  int length = 0;
  if (const char* comment = zip_get_archive_comment(archive, &length, ZIP_FL_ENC_RAW);
      comment != nullptr && length > 0)
    directory->comment.assign(comment, static_cast<std::size_t>(length));
  directory_ = std::move(directory);
  return directory_.get();
}

int PackageArchive::CountMembers(const std::string& name) const {
  const Directory* directory = CurrentDirectory();
  if (directory == nullptr) return 0;
  const auto it = directory->byName.find(core::ToUpper(name));
  return it == directory->byName.end() ? 0 : it->second.count;
}

std::int64_t PackageArchive::MemberSize(const std::string& name) const {
  const Directory* directory = CurrentDirectory();
  if (directory == nullptr) return 0;
  const auto it = directory->byName.find(core::ToUpper(name));
  return it == directory->byName.end() ? 0 : it->second.size;
}

std::string PackageArchive::Comment() const {
  const Directory* directory = CurrentDirectory();
  return directory == nullptr ? std::string() : directory->comment;
}

bool PackageArchive::IsPackage() const {
  return CountMembers(kConfigurationMember) >= 1;
}

bool PackageArchive::ReadMember(const std::string& name, std::int64_t offset, std::int64_t count,
                                std::vector<std::uint8_t>* bytes) const {
  if (bytes != nullptr) bytes->clear();
  const Directory* directory = CurrentDirectory();
  if (directory == nullptr) return false;
  const auto member = directory->byName.find(core::ToUpper(name));
  if (member == directory->byName.end()) {
    lastError_ = "member " + name + " not found in " + path_;
    return false;
  }
  const std::int64_t index = member->second.index;
  ZipHandle archive = OpenArchive(path_, lastError_);
  if (!archive) return false;
  zip_t* zip = archive.get();
  // The file may have been replaced since the directory was made.
  const char* found = zip_get_name(zip, static_cast<zip_uint64_t>(index), 0);
  if (found == nullptr || core::ToUpper(found) != member->first) {
    lastError_ = path_ + " changed while it was read; open it again";
    return false;
  }
  const std::int64_t size = SizeAt(zip, index);
  if (size < 0) {
    lastError_ = "cannot read the size of member " + name + " in " + path_;
    return false;
  }
  if (size > kMaxMemberBytes) {
    lastError_ = "member " + name + " of " + path_ + " claims " + std::to_string(size) +
                 " bytes, more than the " + std::to_string(kMaxMemberBytes) +
                 " a package member may hold";
    return false;
  }
  ZipFileHandle file(zip_fopen_index(zip, static_cast<zip_uint64_t>(index), 0));
  if (!file) {
    lastError_ = "cannot open member " + name + " of " + path_ + ": " + zip_strerror(zip);
    return false;
  }
  const auto failed = [&] {
    lastError_ =
        "cannot read member " + name + " of " + path_ + ": " + zip_file_strerror(file.get());
    if (bytes != nullptr) bytes->clear();
    return false;
  };
  // What is wanted is kept; what lies before it only passes through a small
  // buffer, and nothing after it is read: a member is held once, or not at all.
  const std::int64_t from = std::clamp<std::int64_t>(offset, 0, size);
  const std::int64_t to = from + std::clamp<std::int64_t>(count, 0, size - from);
  if (bytes != nullptr) bytes->reserve(static_cast<std::size_t>(to - from));
  std::uint8_t chunk[1 << 14];
  std::int64_t done = 0;
  while (done < to) {
    const auto wanted = std::min<std::int64_t>(static_cast<std::int64_t>(sizeof chunk), to - done);
    const zip_int64_t n = zip_fread(file.get(), chunk, static_cast<zip_uint64_t>(wanted));
    if (n < 0) return failed();
    if (n == 0) break;
    if (bytes != nullptr && done + n > from) {
      const std::int64_t keep = std::max<std::int64_t>(from - done, 0);
      bytes->insert(bytes->end(), chunk + keep, chunk + n);
    }
    done += n;
  }
  if (done < to) {
    lastError_ = "member " + name + " of " + path_ + " ended after " + std::to_string(done) +
                 " of " + std::to_string(size) + " bytes";
    if (bytes != nullptr) bytes->clear();
    return false;
  }
  // A damaged archive shows itself by a checksum error only when the last
  // byte has been read: read once more to let libzip check it.
  if (to == size && zip_fread(file.get(), chunk, 1) < 0) return failed();
  lastError_.clear();
  return true;
}

bool PackageArchive::ReadMemberBytes(const std::string& name,
                                     std::vector<std::uint8_t>& bytes) const {
  return ReadMember(name, 0, kMaxMemberBytes, &bytes);
}

bool PackageArchive::CheckMember(const std::string& name) const {
  return ReadMember(name, 0, kMaxMemberBytes, nullptr);
}

bool PackageArchive::ReadMemberText(const std::string& name, std::int64_t offset,
                                    std::int64_t maxCount, std::string& text) const {
  text.clear();
  if (offset < 0 || maxCount < 0) return false;
  std::vector<std::uint8_t> bytes;
  if (!ReadMember(name, offset, maxCount, &bytes)) return false;
  text.assign(bytes.begin(), bytes.end());
  return true;
}

std::int32_t PackageArchive::ReadBlock(const std::string& name, std::span<std::uint8_t> buffer,
                                       std::int64_t offset) {
  if (!cached_ || core::ToUpper(cachedName_) != core::ToUpper(name)) {
    cachedBytes_.clear();
    cached_ = false;
    std::vector<std::uint8_t> bytes;
    if (!ReadMemberBytes(name, bytes)) return 0;
    cachedBytes_ = std::move(bytes);
    cachedName_ = name;
    cached_ = true;
  }
  if (offset < 0 || static_cast<std::uint64_t>(offset) >= cachedBytes_.size()) return 0;
  std::size_t count =
      std::min<std::size_t>({buffer.size(), cachedBytes_.size() - static_cast<std::size_t>(offset),
                             static_cast<std::size_t>(INT32_MAX)});
  std::copy_n(cachedBytes_.begin() + offset, count, buffer.begin());
  return static_cast<std::int32_t>(count);
}

}  // namespace pelvane::package
