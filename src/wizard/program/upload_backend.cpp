#include "wizard/program/upload_backend.h"

#include "package/package_archive.h"
#include "package/package_configuration.h"
#include "package/package_info.h"

namespace pelvane::wizard {

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
  // Read in one piece: every piece reads the member from its start, so a
  // large text in small pieces would take time that grows with its square.
  std::string text;
  archive.ReadMemberText(package::kFinalMember, 0, archive.MemberSize(package::kFinalMember), text);
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
