#include "package/package_writer.h"

#include <zip.h>

#include <cstdio>
#include <utility>

namespace pelvane::package {

namespace {
// 2001-01-01 00:00:00 UTC: a fixed time stamp keeps package builds reproducible.
constexpr time_t kMemberTime = 978307200;
}  // namespace

void PackageWriter::AddMember(const std::string& name, std::string_view text) {
  members_.push_back({name, std::vector<std::uint8_t>(text.begin(), text.end())});
}

void PackageWriter::AddMember(const std::string& name, std::vector<std::uint8_t> bytes) {
  members_.push_back({name, std::move(bytes)});
}

bool PackageWriter::Write(const std::string& path) {
  error_.clear();
  if (members_.empty()) {
    error_ = "a package needs at least one member";
    return false;
  }
  std::remove(path.c_str());
  int code = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    error_ = "cannot create " + path + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return false;
  }
  auto fail = [&](const std::string& what) {
    error_ = what + ": " + zip_strerror(zip);
    zip_discard(zip);
    std::remove(path.c_str());
    return false;
  };
  for (const auto& member : members_) {
    // The buffers stay with this writer until zip_close has read them.
    zip_source_t* source = zip_source_buffer(zip, member.bytes.data(), member.bytes.size(), 0);
    if (!source) return fail("cannot add " + member.name);
    zip_int64_t index = zip_file_add(zip, member.name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
      zip_source_free(source);
      return fail("cannot add " + member.name);
    }
    zip_file_set_mtime(zip, static_cast<zip_uint64_t>(index), kMemberTime, 0);
  }
  if (!comment_.empty() &&
      zip_set_archive_comment(zip, comment_.data(), static_cast<zip_uint16_t>(comment_.size())) <
          0) {
    return fail("cannot set the archive comment");
  }
  if (zip_close(zip) < 0) return fail("cannot write " + path);
  return true;
}

}  // namespace pelvane::package
