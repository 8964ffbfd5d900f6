// Ardmel: FlashApp, the application object. It owns one session and one
// presentation object, turns each flash operation into a command message,
// and turns each response the session receives into stored results and a
// Response event.
//
// Threading: one owner thread creates the object, makes every call and
// receives every event (the session delivers its events on that thread).
// Listeners may read results and send the next command from their handlers;
// they must not call ExplicitInitialise or destroy the object there, because
// that destroys the session that is delivering the event.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/iqx_app.h"
#include "app/response.h"
#include "core/class_registry.h"
#include "core/event_source.h"
#include "core/link_diagnosis.h"
#include "presentation/iqx_presentation.h"
#include "session/iqx_session.h"

namespace pelvane::app {

// The application layer's string table: 100 is the module name, 101 and up
// the message numbers (GetLastError reports the number minus 101).
enum AppMessage : std::int32_t {
  kAppModuleName = 100,
  kAppOk = 101,
  kPresentationError = 102,
  kSessionError = 103,
  kMemoryFailure = 104,
  kOutOfSequence = 105,
  // Length arguments outside what one frame (Prog) or one upload block
  // (UploadTransferProgram) can carry; the operation sends nothing.
  kLengthOutOfRange = 106,
  kUploadLengthOutOfRange = 107,
};

// Text of an application message number (empty for a number this layer does not use).
std::string AppMessageText(std::int32_t message);

// The classes ExplicitInitialise may create: the session component's Session
// (when it is built into this program) and the presentation component's Presentation.
core::ClassRegistry<session::IQX_Session> DefaultSessionRegistry();
core::ClassRegistry<presentation::IQX_Presentation> DefaultPresentationRegistry();

// The open string used when ExplicitInitialise is given an empty one: the
// serial port class on COM1, 115200 baud, even parity, 8 data bits, 1 stop bit.
extern const char* const kDefaultOpenString;

class FlashApp final : public IQX_App,
                       public core::IQX_LinkDiagnostics,
                       private session::IQX_SessionEvents {
 public:
  explicit FlashApp(core::ClassRegistry<session::IQX_Session> sessions = DefaultSessionRegistry(),
                    core::ClassRegistry<presentation::IQX_Presentation> presentations =
                        DefaultPresentationRegistry());
  ~FlashApp() override;
  FlashApp(const FlashApp&) = delete;
  FlashApp& operator=(const FlashApp&) = delete;

  core::Status UploadTransferProgram(const std::uint8_t* pucBuffer, std::int32_t lMaxSize,
                                     std::int32_t lStartAddr, std::int32_t lExecAddr,
                                     QUARNEL_ERR* pbUploadOK) override;
  core::Status ExplicitInitialise(const std::string& openParameter) override;
  core::Status QueryManufacturerCode(std::uint32_t ulFlashbase, std::uint8_t ucArchitecture,
                                     std::uint8_t ucFlashtype) override;
  core::Status ProgPowerOn() override;
  core::Status ProgPowerOff() override;
  core::Status FlashDelete(std::uint8_t ucArchitecture, std::uint8_t ucFlashtype,
                           std::uint32_t ulStartaddr, std::uint32_t ulLen) override;
  core::Status ProgEnd() override;
  core::Status Prog(std::uint32_t ulStartaddr, std::int16_t iLen, std::uint8_t ucArchitecture,
                    std::uint8_t ucFlashtype, const std::uint8_t* pucBuffer) override;
  core::Status GetManufacturerCode(std::uint32_t* pulManufacturer) override;
  core::Status ReadData(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                        std::uint32_t ulLen) override;
  core::Status Checksum(std::uint8_t ucArchitecture, std::uint32_t ulStartaddr,
                        std::uint32_t ulLen) override;
  core::Status GetFlashType(std::uint32_t* pulFlashType) override;
  core::Status GetStatus(std::int16_t* piStatus) override;
  core::Status GetChecksum(std::uint32_t* pulChecksum) override;
  core::Status GetEraseStatus(std::uint32_t* pulFailAddr, std::int16_t* piEraseStatus) override;
  core::Status GetProgStatus(std::uint32_t* pulFailAddr, std::int16_t* piProgStatus) override;
  core::Status GetReadDataLength(std::uint32_t* pulLen) override;
  core::Status GetReadDataAddress(std::uint32_t* pulAddr) override;
  core::Status GetReadData(std::uint8_t* pucBuffer) override;
  core::Status Shutdown() override;
  core::Status Close() override;
  core::Status GetLastError(std::int16_t* piLastError) override;
  core::Status GetErrorString(std::string* lastError) override;

  // IQX_LinkDiagnostics: what the session's port said about the last failure,
  // and how the session's answers have been coming.
  core::LinkDiagnosis DiagnoseLink() const override;
  core::LinkActivity Activity() const override;

  core::Status Advise(IQX_AppEvents* listener, core::Cookie* cookie) override;
  core::Status Unadvise(core::Cookie cookie) override;

 private:
  // The session sink: only these two session events concern the application layer.
  void OnReceive(session::IQX_Session* obj, std::int32_t lCount) override;
  void OnError(session::IQX_Session* obj, std::int16_t iLastError) override;

  session::IQX_Session& RequireSession(const char* operation);
  presentation::IQX_Presentation& RequirePresentation(const char* operation);
  // Encodes and sends one command message; failures become the last error.
  void SendCommand(std::span<const std::uint8_t> message, const char* operation);
  bool SessionFailed();
  bool PresentationFailed();
  // Stores a decoded response and raises Response when its code is known.
  void HandleResponse(const DecodedResponse& response);
  void ReleaseSession();

  core::ClassRegistry<session::IQX_Session> sessions_;
  core::ClassRegistry<presentation::IQX_Presentation> presentations_;
  std::unique_ptr<session::IQX_Session> session_;
  std::unique_ptr<presentation::IQX_Presentation> presentation_;
  session::IQX_Transfer* transfer_ = nullptr;  // the session's second interface, not owned
  core::Cookie sinkCookie_ = 0;
  bool sinkAdvised_ = false;

  std::int32_t lastError_ = kAppOk;

  // The result store; a getter delivers a value only while the last
  // response code is the kind that set it.
  std::uint8_t lastResponse_ = HERROR;
  std::int16_t status_ = 0;
  std::uint32_t manufacturer_ = 0;
  std::uint32_t flashType_ = 0;
  std::uint32_t readLength_ = 0;
  std::uint32_t readAddress_ = 0;
  std::unique_ptr<std::vector<std::uint8_t>> readData_;  // none once delivered
  std::int16_t progStatus_ = 0;
  std::uint32_t progFailAddr_ = 0;
  std::uint32_t checksum_ = 0;
  std::int16_t eraseStatus_ = 0;
  std::uint32_t eraseFailAddr_ = 0;

  core::EventSource<IQX_AppEvents> events_;
};

std::unique_ptr<IQX_App> CreateFlashApp();

// The application classes the upload controller may create by class id.
core::ClassRegistry<IQX_App> DefaultAppRegistry();

}  // namespace pelvane::app
