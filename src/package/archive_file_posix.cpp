#include <zip.h>

#include "package/archive_file.h"

namespace pelvane::package {

zip_t* OpenArchiveFile(const std::string& path, int* zipError) {
  return zip_open(path.c_str(), ZIP_RDONLY, zipError);
}

}  // namespace pelvane::package
