#include <windows.h>
#include <zip.h>

#include "core/utf16.h"
#include "package/archive_file.h"

namespace pelvane::package {

zip_t* OpenArchiveFile(const std::string& path, int* zipError) {
  const HANDLE file = ::CreateFileW(core::Utf16FromUtf8(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    *zipError =
        error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ZIP_ER_NOENT : ZIP_ER_OPEN;
    return nullptr;
  }
  zip_error_t error;
  zip_error_init(&error);
  // The source closes the handle when it is freed, with the archive.
  zip_source_t* source = zip_source_win32handle_create(file, 0, -1, &error);
  if (source == nullptr) {
    ::CloseHandle(file);
    *zipError = zip_error_code_zip(&error);
    zip_error_fini(&error);
    return nullptr;
  }
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    *zipError = zip_error_code_zip(&error);
  }
  zip_error_fini(&error);
  return archive;
}

}  // namespace pelvane::package
