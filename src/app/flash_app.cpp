#include "app/flash_app.h"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "app/commands.h"
#include "core/class_ids.h"
#include "core/trace.h"
#include "presentation/presentation.h"
#include "session/session.h"

namespace pelvane::app {
namespace {

void Check(core::Status status, const char* operation, const char* call) {
  if (!core::Succeeded(status))
    throw core::StatusError(status,
                            std::string("FlashApp::") + operation + ": " + call + " failed");
}

}  // namespace

const char* const kDefaultOpenString =
    "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA COM1:115200,E,8,1";

std::string AppMessageText(std::int32_t message) {
  switch (message) {
    case kAppModuleName:
      return "ardmel";
    case kAppOk:
      return "Last command completed successfully";
    case kPresentationError:
      return "An Error occured in the presentation layer";
    case kSessionError:
      return "An Error occured in the session layer";
    case kMemoryFailure:
      return "Memory allocation failure";
    case kOutOfSequence:
      return "Associated command called out of sequence";
    case kLengthOutOfRange:
      return "Program block length out of range (0 to 246 bytes)";
    case kUploadLengthOutOfRange:
      return "Transfer program length out of range";
    default:
      return {};
  }
}

core::ClassRegistry<session::IQX_Session> DefaultSessionRegistry() {
  core::ClassRegistry<session::IQX_Session> registry;
  registry.Add(std::string(core::clsid::kSession), [] { return session::CreateSession(); });
  return registry;
}

core::ClassRegistry<presentation::IQX_Presentation> DefaultPresentationRegistry() {
  core::ClassRegistry<presentation::IQX_Presentation> registry;
  registry.Add(std::string(core::clsid::kPresentation),
               [] { return presentation::CreatePresentation(); });
  return registry;
}

FlashApp::FlashApp(core::ClassRegistry<session::IQX_Session> sessions,
                   core::ClassRegistry<presentation::IQX_Presentation> presentations)
    : sessions_(std::move(sessions)), presentations_(std::move(presentations)) {}

FlashApp::~FlashApp() {
  ReleaseSession();
}

void FlashApp::ReleaseSession() {
  // The session must not call a sink that is gone, even if the owner forgot Shutdown.
  if (session_ && sinkAdvised_) session_->Unadvise(sinkCookie_);
  sinkAdvised_ = false;
  transfer_ = nullptr;
  session_.reset();
}

core::LinkDiagnosis FlashApp::DiagnoseLink() const {
  const auto* link = dynamic_cast<const core::IQX_LinkDiagnostics*>(session_.get());
  return link ? link->DiagnoseLink() : core::LinkDiagnosis{};
}

core::LinkActivity FlashApp::Activity() const {
  const auto* link = dynamic_cast<const core::IQX_LinkDiagnostics*>(session_.get());
  return link ? link->Activity() : core::LinkActivity{};
}

session::IQX_Session& FlashApp::RequireSession(const char* operation) {
  if (!session_)
    throw core::StatusError(core::Status::Pointer,
                            std::string("FlashApp::") + operation + ": no session object");
  return *session_;
}

presentation::IQX_Presentation& FlashApp::RequirePresentation(const char* operation) {
  if (!presentation_)
    throw core::StatusError(core::Status::Pointer,
                            std::string("FlashApp::") + operation + ": no presentation object");
  return *presentation_;
}

bool FlashApp::SessionFailed() {
  std::int16_t error = 0;
  Check(RequireSession("GetLastError").GetLastError(&error), "GetLastError",
        "session GetLastError");
  return error != 0;
}

bool FlashApp::PresentationFailed() {
  std::int16_t error = 0;
  Check(RequirePresentation("GetLastError").GetLastError(&error), "GetLastError",
        "presentation GetLastError");
  return error != 0;
}

// ---- ExplicitInitialise, upload, shutdown --------------------------------

core::Status FlashApp::ExplicitInitialise(const std::string& openParameter) {
  ReleaseSession();
  presentation_.reset();
  // A class that cannot be created is not reported here: the first operation
  // that needs the object raises the pointer error.
  try {
    session_ = sessions_.Create(core::clsid::kSession);
  } catch (const std::bad_alloc&) {
    session_.reset();
  }
  try {
    presentation_ = presentations_.Create(core::clsid::kPresentation);
  } catch (const std::bad_alloc&) {
    presentation_.reset();
  }
  session::IQX_Session& session = RequireSession("ExplicitInitialise");
  transfer_ = dynamic_cast<session::IQX_Transfer*>(&session);
  sinkAdvised_ = core::Succeeded(session.Advise(this, &sinkCookie_));

  bool opened = false;
  Check(session.Open(openParameter.empty() ? std::string(kDefaultOpenString) : openParameter,
                     &opened),
        "ExplicitInitialise", "session Open");
  if (SessionFailed()) lastError_ = kSessionError;
  return core::Status::Ok;
}

core::Status FlashApp::UploadTransferProgram(const std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                                             std::int32_t lStartAddr, std::int32_t lExecAddr,
                                             QUARNEL_ERR* pbUploadOK) {
  if (pbUploadOK == nullptr || (pucBuffer == nullptr && lMaxSize > 0)) return core::Status::Pointer;
  // The block's size travels as a 32-bit count of n + 14 bytes.
  if (lMaxSize < 0 || lMaxSize > std::numeric_limits<std::int32_t>::max() - 14) {
    lastError_ = kUploadLengthOutOfRange;
    return core::Status::Ok;
  }
  std::vector<std::uint8_t> block;
  try {
    block = TransferProgramBlock({pucBuffer, static_cast<std::size_t>(lMaxSize)},
                                 static_cast<std::uint32_t>(lStartAddr),
                                 static_cast<std::uint32_t>(lExecAddr));
  } catch (const std::bad_alloc&) {
    lastError_ = kMemoryFailure;
    return core::Status::Ok;
  }
  *pbUploadOK = PT_TOK;
  if (transfer_ == nullptr)
    throw core::StatusError(core::Status::Pointer,
                            "FlashApp::UploadTransferProgram: no transfer interface");
  Check(transfer_->Upload(block.data(), static_cast<std::int32_t>(block.size())),
        "UploadTransferProgram", "session Upload");
  if (SessionFailed()) {
    lastError_ = kSessionError;
    return core::Status::Ok;
  }
  // When the session delivers no verdict (a port failure while waiting) the
  // value stays PT_TOK and the last error, 103, is what the caller goes by.
  session::PTS_FAILCODE verdict = session::PT_OK;
  Check(transfer_->IsUploadOK(&verdict), "UploadTransferProgram", "session IsUploadOK");
  *pbUploadOK = static_cast<QUARNEL_ERR>(verdict);
  if (SessionFailed()) lastError_ = kSessionError;
  return core::Status::Ok;
}

core::Status FlashApp::Shutdown() {
  if (session_ && sinkAdvised_) session_->Unadvise(sinkCookie_);
  sinkAdvised_ = false;
  return core::Status::Ok;
}

core::Status FlashApp::Close() {
  bool closed = false;
  Check(RequireSession("Close").Close(&closed), "Close", "session Close");
  if (SessionFailed()) lastError_ = kSessionError;
  return core::Status::Ok;
}

// ---- Commands ------------------------------------------------------------

void FlashApp::SendCommand(std::span<const std::uint8_t> message, const char* operation) {
  presentation::IQX_Presentation& presentation = RequirePresentation(operation);
  session::IQX_Session& session = RequireSession(operation);
  const auto n = static_cast<std::int32_t>(message.size());

  std::int32_t m = 0;
  Check(presentation.Encode(message.data(), n, &m), operation, "presentation Encode");
  if (PresentationFailed()) {
    lastError_ = kPresentationError;
    return;
  }
  std::vector<std::uint8_t> encoded;
  try {
    // The session reads n + 2 bytes whatever the presentation object reported.
    encoded.resize(static_cast<std::size_t>(std::max(m, n + 2)));
  } catch (const std::bad_alloc&) {
    lastError_ = kMemoryFailure;
    return;
  }
  Check(presentation.GetData(encoded.data(), m), operation, "presentation GetData");
  if (PresentationFailed()) {
    lastError_ = kPresentationError;
    return;
  }
  // The size given is the message length; the frame's checksum bytes follow it
  // in the buffer. Whether the frame was queued shows in the session's last error.
  if (core::trace::On())
    core::trace::Note("command", std::string(operation) + ": " +
                                     core::trace::Hex(message.data(), message.size()));
  bool sent = false;
  Check(session.Send(encoded.data(), n, &sent), operation, "session Send");
  if (SessionFailed()) lastError_ = kSessionError;
}

core::Status FlashApp::QueryManufacturerCode(std::uint32_t ulFlashbase, std::uint8_t ucArchitecture,
                                             std::uint8_t ucFlashtype) {
  SendCommand(QueryManufacturerCommand(ulFlashbase, ucArchitecture, ucFlashtype),
              "QueryManufacturerCode");
  return core::Status::Ok;
}

core::Status FlashApp::ProgPowerOn() {
  SendCommand(SingleByteCommand(TPROGPWRON), "ProgPowerOn");
  return core::Status::Ok;
}

core::Status FlashApp::ProgPowerOff() {
  SendCommand(SingleByteCommand(TPROGPWROFF), "ProgPowerOff");
  return core::Status::Ok;
}

core::Status FlashApp::FlashDelete(std::uint8_t ucArchitecture, std::uint8_t ucFlashtype,
                                   std::uint32_t ulStartaddr, std::uint32_t ulLen) {
  SendCommand(FlashDeleteCommand(ucArchitecture, ucFlashtype, ulStartaddr, ulLen), "FlashDelete");
  return core::Status::Ok;
}

core::Status FlashApp::ProgEnd() {
  SendCommand(SingleByteCommand(TPROGEND), "ProgEnd");
  return core::Status::Ok;
}

core::Status FlashApp::Prog(std::uint32_t ulStartaddr, std::int16_t iLen,
                            std::uint8_t ucArchitecture, std::uint8_t ucFlashtype,
                            const std::uint8_t* pucBuffer) {
  RequirePresentation("Prog");
  RequireSession("Prog");
  // A frame carries at most 255 message bytes, 9 of them the block header.
  // Anything outside 0..246 cannot be sent whole, so nothing is sent at all.
  if (iLen < 0 || iLen > kMaxProgBlock) {
    lastError_ = kLengthOutOfRange;
    return core::Status::Ok;
  }
  if (pucBuffer == nullptr && iLen > 0) return core::Status::Pointer;
  std::vector<std::uint8_t> message;
  try {
    message = ProgCommand(ulStartaddr, ucArchitecture, ucFlashtype,
                          {pucBuffer, static_cast<std::size_t>(iLen)});
  } catch (const std::bad_alloc&) {
    lastError_ = kMemoryFailure;
    return core::Status::Ok;
  }
  SendCommand(message, "Prog");
  return core::Status::Ok;
}

core::Status FlashApp::ReadData(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                                std::uint32_t ulLen) {
  SendCommand(RangeCommand(TLESEDATEN, ucArchitecture, ulStartaddr, ulLen), "ReadData");
  return core::Status::Ok;
}

core::Status FlashApp::Checksum(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                                std::uint32_t ulLen) {
  SendCommand(RangeCommand(TCHECKSUM, ucArchitecture, ulStartaddr, ulLen), "Checksum");
  return core::Status::Ok;
}

// ---- Responses -------------------------------------------------------------

void FlashApp::OnReceive(session::IQX_Session* /*obj*/, std::int32_t lCount) {
  session::IQX_Session& session = RequireSession("OnReceive");
  presentation::IQX_Presentation& presentation = RequirePresentation("OnReceive");
  const std::int32_t count = std::max<std::int32_t>(lCount, 0);

  std::vector<std::uint8_t> body;
  try {
    body.resize(static_cast<std::size_t>(count) + 1);  // never a null buffer, even for 0
  } catch (const std::bad_alloc&) {
    lastError_ = kMemoryFailure;
    return;
  }
  std::int32_t received = 0;
  Check(session.Receive(body.data(), count, &received), "OnReceive", "session Receive");
  if (SessionFailed()) {
    lastError_ = kSessionError;
    return;
  }
  std::int32_t m = 0;
  Check(presentation.Decode(body.data(), count, &m), "OnReceive", "presentation Decode");
  if (PresentationFailed()) {
    lastError_ = kPresentationError;
    return;
  }
  std::vector<std::uint8_t> message;
  try {
    // Never more than was received, whatever the presentation object reported.
    message.resize(static_cast<std::size_t>(std::clamp<std::int32_t>(m, 0, count)));
  } catch (const std::bad_alloc&) {
    lastError_ = kMemoryFailure;
    return;
  }
  Check(presentation.GetData(message.data(), static_cast<std::int32_t>(message.size())),
        "OnReceive", "presentation GetData");
  if (PresentationFailed()) {
    lastError_ = kPresentationError;
    return;
  }
  if (core::trace::On())
    core::trace::Note("answer", core::trace::Hex(message.data(), message.size()));
  const DecodedResponse response = DecodeResponse(message);
  if (response.kind == ResponseKind::Truncated) {
    // Shorter than the fields its code reads (for HLESEDATEN: its length byte
    // announces more data than arrived). Reading on would read past the
    // received bytes, so the response is dropped like one that failed its
    // checksum: a presentation-layer error, no event, the result store and
    // the last response code unchanged.
    lastError_ = kPresentationError;
    return;
  }
  HandleResponse(response);
}

void FlashApp::HandleResponse(const DecodedResponse& r) {
  // The code becomes the last response code before its fields are read,
  // whether it is known or not.
  lastResponse_ = r.code;
  switch (r.kind) {
    case ResponseKind::Status:
      status_ = r.status;
      break;
    case ResponseKind::Manufacturer:
      manufacturer_ = r.manufacturer;
      flashType_ = r.flashType;
      break;
    case ResponseKind::ReadData:
      readLength_ = r.readLength;
      readAddress_ = r.readAddress;
      readData_.reset();
      if (r.readLength != 0) {
        try {
          readData_ =
              std::make_unique<std::vector<std::uint8_t>>(r.readData.begin(), r.readData.end());
        } catch (const std::bad_alloc&) {
          lastError_ = kMemoryFailure;
          return;
        }
      }
      break;
    case ResponseKind::ProgStatus:
      progStatus_ = r.status;
      progFailAddr_ = r.failAddr;
      break;
    case ResponseKind::Checksum:
      checksum_ = r.checksum;
      break;
    case ResponseKind::EraseStatus:
      eraseStatus_ = r.status;
      eraseFailAddr_ = r.failAddr;
      break;
    case ResponseKind::ProgEnd: {
      // The instrument leaves its transfer program after this answer, so the
      // link is closed before anyone hears of it.
      bool closed = false;
      Check(RequireSession("OnReceive").Close(&closed), "OnReceive", "session Close");
      if (SessionFailed()) {
        lastError_ = kSessionError;
        return;
      }
      break;
    }
    case ResponseKind::Unknown:
    case ResponseKind::Truncated:
      return;
  }
  const std::uint8_t code = r.code;
  events_.Raise([code](IQX_AppEvents& listener) { listener.Response(code); });
}

void FlashApp::OnError(session::IQX_Session* /*obj*/, std::int16_t iLastError) {
  events_.Raise([iLastError](IQX_AppEvents& listener) { listener.Error(iLastError); });
}

// ---- Getters -------------------------------------------------------------

core::Status FlashApp::GetManufacturerCode(std::uint32_t* pulManufacturer) {
  if (pulManufacturer == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HMANUFACTURER) *pulManufacturer = manufacturer_;
  return core::Status::Ok;
}

core::Status FlashApp::GetFlashType(std::uint32_t* pulFlashType) {
  if (pulFlashType == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HMANUFACTURER) *pulFlashType = flashType_;
  return core::Status::Ok;
}

core::Status FlashApp::GetStatus(std::int16_t* piStatus) {
  if (piStatus == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HERROR || lastResponse_ == HPROGPWRON || lastResponse_ == HPROGPWROFF)
    *piStatus = status_;
  return core::Status::Ok;
}

core::Status FlashApp::GetChecksum(std::uint32_t* pulChecksum) {
  if (pulChecksum == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HCHECKSUM) *pulChecksum = checksum_;
  return core::Status::Ok;
}

core::Status FlashApp::GetEraseStatus(std::uint32_t* pulFailAddr, std::int16_t* piEraseStatus) {
  if (pulFailAddr == nullptr || piEraseStatus == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HFLASHERASE) {
    *pulFailAddr = eraseFailAddr_;
    *piEraseStatus = eraseStatus_;
  }
  return core::Status::Ok;
}

core::Status FlashApp::GetProgStatus(std::uint32_t* pulFailAddr, std::int16_t* piProgStatus) {
  if (pulFailAddr == nullptr || piProgStatus == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HPROGDATEN) {
    *pulFailAddr = progFailAddr_;
    *piProgStatus = progStatus_;
  }
  return core::Status::Ok;
}

core::Status FlashApp::GetReadDataLength(std::uint32_t* pulLen) {
  if (pulLen == nullptr) return core::Status::Pointer;
  // The one getter that reports: it clears any earlier error first.
  lastError_ = kAppOk;
  if (lastResponse_ != HLESEDATEN) {
    lastError_ = kOutOfSequence;
    return core::Status::Ok;
  }
  *pulLen = readLength_;
  return core::Status::Ok;
}

core::Status FlashApp::GetReadDataAddress(std::uint32_t* pulAddr) {
  if (pulAddr == nullptr) return core::Status::Pointer;
  if (lastResponse_ == HLESEDATEN) *pulAddr = readAddress_;
  return core::Status::Ok;
}

core::Status FlashApp::GetReadData(std::uint8_t* pucBuffer) {
  if (pucBuffer == nullptr) return core::Status::Pointer;
  // Data already delivered (or never stored) is not there to copy.
  if (lastResponse_ != HLESEDATEN || readLength_ == 0 || !readData_) return core::Status::Ok;
  std::copy(readData_->begin(), readData_->end(), pucBuffer);
  readData_.reset();
  return core::Status::Ok;
}

// ---- Errors and events ---------------------------------------------------

core::Status FlashApp::GetLastError(std::int16_t* piLastError) {
  if (piLastError == nullptr) return core::Status::Pointer;
  *piLastError = static_cast<std::int16_t>(lastError_ - kAppOk);
  return core::Status::Ok;
}

core::Status FlashApp::GetErrorString(std::string* lastError) {
  if (lastError == nullptr) return core::Status::Pointer;
  session::IQX_Session& session = RequireSession("GetErrorString");
  presentation::IQX_Presentation& presentation = RequirePresentation("GetErrorString");
  // The lower layers' own texts name the cause more precisely than ours.
  std::int16_t sessionError = 0;
  std::int16_t presentationError = 0;
  Check(session.GetLastError(&sessionError), "GetErrorString", "session GetLastError");
  Check(presentation.GetLastError(&presentationError), "GetErrorString",
        "presentation GetLastError");
  try {
    if (sessionError != 0)
      Check(session.GetErrorString(lastError), "GetErrorString", "session GetErrorString");
    else if (presentationError != 0)
      Check(presentation.GetErrorString(lastError), "GetErrorString",
            "presentation GetErrorString");
    else
      *lastError = AppMessageText(lastError_);
  } catch (const std::bad_alloc&) {
    throw core::StatusError(core::Status::OutOfMemory, "FlashApp::GetErrorString: no memory");
  }
  return core::Status::Ok;
}

core::Status FlashApp::Advise(IQX_AppEvents* listener, core::Cookie* cookie) {
  return events_.Advise(listener, cookie);
}

core::Status FlashApp::Unadvise(core::Cookie cookie) {
  return events_.Unadvise(cookie);
}

std::unique_ptr<IQX_App> CreateFlashApp() {
  return std::make_unique<FlashApp>();
}

core::ClassRegistry<IQX_App> DefaultAppRegistry() {
  core::ClassRegistry<IQX_App> registry;
  registry.Add(std::string(core::clsid::kFlashApp), [] { return CreateFlashApp(); });
  return registry;
}

}  // namespace pelvane::app
