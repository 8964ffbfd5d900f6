#include "package/qn_error.h"

namespace pelvane::package {

std::string ErrorResourceText(std::int32_t code) {
  switch (code) {
    case kErrOk:
      return "OK";
    case kErrFilenameInvalid:
      return "Filename Invalid";
    case kErrFlashNameInvalid:
      return "Flash Memory Name Invalid";
    case kErrArchitectureInvalid:
      return "Architecture Invalid";
    case kErrProcessorInvalid:
      return "Processor Name Invalid";
    case kErrConfigurationInvalid:
      return "Configuration File Invalid";
    case kErrKeyNotFound:
      return "Configuration File Key Not Found";
    // The misspellings are the instrument tools' own texts; logs and
    // scripts compare against them.
    case kErrMemoryEntryInvalid:
      return "Mermory Entry Inalid";
    case kErrEraseEntryInvalid:
      return "Erase Entry Invalid";
    case kErrUploadEntryInvalid:
      return "Upload Entry Invalid";
    case kErrProgramEntryInvalid:
      return "Program Entry Invalid";
    case kErrCancelled:
      return "Process Cancelled by User";
    case kErrValidation:
      return "Configuration failed Validation Checks";
    case kErrTransferEntryInvalid:
      return "Transfer Entry invalid";
    case kErrCommandLineSwitch:
      return "Invalid command line switch";
    case kErrProgramming:
      return "PROGRAMMING ERROR, failed at address ";
    case kErrChecksum:
      return "CHECKSUM ERROR";
    case kErrFlashRange:
      return "FLASH RANGE ERROR";
    case kErrPowerOn:
      return "PROGRAMMING POWER ON ERROR";
    case kErrPowerOff:
      return "PROGRAMMING POWER OFF ERROR";
    case kErrReadData:
      return "READ DATA ERROR";
    case kErrFlashErase:
      return "FLASH ERASE ERROR, failed at address = ";
    case kErrVerify:
      return "VERIFY ERROR";
    case kErrGeneral:
      return "GENERAL ERROR, Code =";
    case kErrTransferProgram:
      return "Error occurred uploading the Transfer Program ";
    case kErrCommunication:
      return "Error occurred in communications layer, Code = ";
    default:
      return {};
  }
}

}  // namespace pelvane::package
