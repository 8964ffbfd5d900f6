// Class ids of the components. The ids are the components' public names:
// open strings and tests spell them exactly like this.
#pragma once

#include <string_view>

namespace pelvane::core::clsid {

inline constexpr std::string_view kSerialPort = "519498DF-CB5C-11D4-A40B-0050DAE004CA";
inline constexpr std::string_view kGpibPort = "B35BC69F-C22C-11D4-A408-0050DAE004CA";
inline constexpr std::string_view kSession = "0E9374CD-C5EA-11D4-A409-0050DAE004CA";
inline constexpr std::string_view kPresentation = "6AF7711F-CF63-11D4-A40D-0050DAE004CA";
inline constexpr std::string_view kFlashApp = "B67989E4-D029-11D4-A40D-0050DAE004CA";

}  // namespace pelvane::core::clsid
