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
    Directory::Member& member = directory->byName[ToUpper(entry)];
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
  const auto it = directory->byName.find(ToUpper(name));
  return it == directory->byName.end() ? 0 : it->second.count;
}

std::int64_t PackageArchive::MemberSize(const std::string& name) const {
  const Directory* directory = CurrentDirectory();
  if (directory == nullptr) return 0;
  const auto it = directory->byName.find(ToUpper(name));
  return it == directory->byName.end() ? 0 : it->second.size;
}

std::string PackageArchive::Comment() const {
  const Directory* directory = CurrentDirectory();
  return directory == nullptr ? std::string() : directory->comment;
}

bool PackageArchive::IsPackage() const {
  return CountMembers(kConfigurationMember) >= 1;
}

bool PackageArchive::ReadMemberBytes(const std::string& name,
                                     std::vector<std::uint8_t>& bytes) const {
  bytes.clear();
  const Directory* directory = CurrentDirectory();
  if (directory == nullptr) return false;
  const auto member = directory->byName.find(ToUpper(name));
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
  if (found == nullptr || ToUpper(found) != member->first) {
    lastError_ = path_ + " changed while it was read; open it again";
    return false;
  }
  std::int64_t size = SizeAt(zip, index);
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
  bytes.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    zip_int64_t n = zip_fread(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      lastError_ =
          "cannot read member " + name + " of " + path_ + ": " + zip_file_strerror(file.get());
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done != bytes.size()) {
    lastError_ = "member " + name + " of " + path_ + " ended after " + std::to_string(done) +
                 " of " + std::to_string(size) + " bytes";
    bytes.clear();
    return false;
  }
  // A damaged archive shows itself by a checksum error only when the last
  // byte has been read: read once more to let libzip check it.
  std::uint8_t extra;
  if (zip_fread(file.get(), &extra, 1) < 0) {
    lastError_ =
        "cannot read member " + name + " of " + path_ + ": " + zip_file_strerror(file.get());
    bytes.clear();
    return false;
  }
  lastError_.clear();
  return true;
}

bool PackageArchive::ReadMemberText(const std::string& name, std::int64_t offset,
                                    std::int64_t maxCount, std::string& text) const {
  text.clear();
  std::vector<std::uint8_t> bytes;
  if (!ReadMemberBytes(name, bytes)) return false;
  if (offset < 0 || maxCount < 0) return false;
  std::size_t from = std::min<std::size_t>(static_cast<std::size_t>(offset), bytes.size());
  std::size_t count =
      std::min<std::size_t>(static_cast<std::size_t>(maxCount), bytes.size() - from);
  text.assign(reinterpret_cast<const char*>(bytes.data()) + from, count);
  return true;
}

std::int32_t PackageArchive::ReadBlock(const std::string& name, std::span<std::uint8_t> buffer,
                                       std::int64_t offset) {
  if (!cached_ || ToUpper(cachedName_) != ToUpper(name)) {
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

void PackageArchive::ClearCache() {
  cached_ = false;
  cachedName_.clear();
  cachedBytes_.clear();
}

}  // namespace pelvane::package
