#include "package/qn_error.h"

namespace pelvane::package {

std::string ErrorResourceText(std::int32_t code) {
  switch (code) {
    case 0:
      return "OK";
    case 1:
      return "Filename Invalid";
    case 2:
      return "Flash Memory Name Invalid";
    case 3:
      return "Architecture Invalid";
    case 4:
      return "Processor Name Invalid";
    case 5:
      return "Configuration File Invalid";
    case 6:
      return "Configuration File Key Not Found";
    // The misspellings are the instrument tools' own texts; logs and
    // scripts compare against them.
    case 7:
      return "Mermory Entry Inalid";
    case 8:
      return "Erase Entry Invalid";
    case 9:
      return "Upload Entry Invalid";
    case 10:
      return "Program Entry Invalid";
    case 11:
      return "Process Cancelled by User";
    case 12:
      return "Configuration failed Validation Checks";
    case 13:
      return "Transfer Entry invalid";
    case 14:
      return "Invalid command line switch";
    case 101:
      return "PROGRAMMING ERROR, failed at address ";
    case 104:
      return "PROGRAMMING POWER ON ERROR";
    case 105:
      return "PROGRAMMING POWER OFF ERROR";
    case 106:
      return "READ DATA ERROR";
    case 107:
      return "FLASH ERASE ERROR, failed at address = ";
    case 109:
      return "GENERAL ERROR, Code =";
    case 110:
      return "Error occurred uploading the Transfer Program ";
    case 111:
      return "Error occurred in communications layer, Code = ";
    default:
      return {};
  }
}

}  // namespace pelvane::package
