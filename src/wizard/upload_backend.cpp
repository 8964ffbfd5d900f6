#include "wizard/upload_backend.h"

#include "package/package_archive.h"
#include "package/package_configuration.h"
#include "package/package_info.h"

namespace pelvane::wizard {

namespace {
// "Final.txt" is read in pieces of this size.
constexpr std::int64_t kFinalPiece = 5000;
}  // namespace

bool UploadBackend::IsPackage(const std::string& path) {
  return package::PackageArchive(path).IsPackage();
}

std::string UploadBackend::ArchiveComment(const std::string& path) {
  return package::PackageArchive(path).Comment();
}

std::string UploadBackend::PackageNotes(const std::string& path) {
  return package::PackageNotes(package::PackageArchive(path));
}

std::optional<std::string> UploadBackend::FinalText(const std::string& path) {
  package::PackageArchive archive(path);
  if (archive.CountMembers(package::kFinalMember) < 1) return std::nullopt;
  const std::int64_t size = archive.MemberSize(package::kFinalMember);
  std::string text;
  while (static_cast<std::int64_t>(text.size()) < size) {
    std::string piece;
    // A piece that brings nothing ends the reading: the member is shorter
    // than its directory entry says or cannot be read, and asking again at
    // the same offset would never end.
    if (!archive.ReadMemberText(package::kFinalMember, static_cast<std::int64_t>(text.size()),
                                kFinalPiece, piece) ||
        piece.empty())
      break;
    text += piece;
  }
  return text;
}

bool UploadBackend::Check(upload::RunOperation operation) {
  process_.Operation(operation);
  // The next press of Next is an update again, whatever the check did.
  struct Restore {
    upload::QN_UploadProcess& process;
    ~Restore() { process.Operation(upload::RunOperation::Update); }
  } restore{process_};
  return process_.Upload();
}

std::vector<std::string> UploadBackend::Ports() const {
  return process_.Loaded() ? process_.Configuration().ports : std::vector<std::string>{};
}

std::string UploadBackend::DefaultPort() const {
  return process_.Loaded() ? process_.Configuration().port : std::string{};
}

std::vector<std::string> UploadBackend::FirmwareLanguages() const {
  return process_.Loaded() ? process_.Configuration().firmwareLanguages
                           : std::vector<std::string>{};
}

std::string UploadBackend::DefaultFirmwareLanguage() const {
  return process_.Loaded() ? process_.Configuration().firmwareLanguage : std::string{};
}

}  // namespace pelvane::wizard
