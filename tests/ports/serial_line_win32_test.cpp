// The serial port over its Win32 line. What Wine's pseudo-terminal ports
// cannot show (exclusive use, modem lines, parity and stop bits, unusual
// rates, drivers that refuse, a removed adapter) goes through a fake CommIo;
// one check runs against a real pseudo-terminal port when under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports/serial/serial_port.h"
#include "ports/serial_line/win32/comm_io.h"
#include "ports/serial_line/win32/win32_serial_line.h"

namespace pelvane::ports::serial {
namespace {

using serial_line::CommIo;
using serial_line::Win32SerialLine;
using testing::ElementsAre;
using testing::HasSubstr;
using namespace std::chrono_literals;

HANDLE const kHandle = reinterpret_cast<HANDLE>(0x4711);

// A COM port in memory: records what the line asks for; calls can be made to
// fail with a Win32 error.
class FakeCommIo : public CommIo {
 public:
  FakeCommIo() {
    device.DCBlength = sizeof device;
    device.BaudRate = 2400;
    device.ByteSize = 7;
    device.Parity = EVENPARITY;
    device.fParity = TRUE;
    device.StopBits = ONESTOPBIT;
    device.fOutxCtsFlow = TRUE;  // what another program left behind
    device.fAbortOnError = TRUE;
    device.XonLim = 10;
    timeouts = {5, 6, 7, 8, 9};
    found = device;
    foundTimeouts = timeouts;
  }

  HANDLE Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flags) override {
    opened.push_back(path);
    EXPECT_EQ(access, DWORD{GENERIC_READ | GENERIC_WRITE});
    EXPECT_EQ(creationDisposition, DWORD{OPEN_EXISTING});
    openShareMode = shareMode;
    openFlags = flags;
    if (Fails("Open")) return INVALID_HANDLE_VALUE;
    log.push_back("open");
    return kHandle;
  }
  BOOL Close(HANDLE handle) override {
    EXPECT_EQ(handle, kHandle);
    log.push_back("close");
    return TRUE;
  }
  BOOL SetupComm(HANDLE, DWORD receiveSize, DWORD transmitSize) override {
    queueSizes = {receiveSize, transmitSize};
    return TRUE;
  }
  BOOL GetCommState(HANDLE, DCB* dcb) override {
    if (Fails("GetCommState")) return FALSE;
    *dcb = device;
    return TRUE;
  }
  BOOL SetCommState(HANDLE, const DCB* dcb) override {
    states.push_back(*dcb);
    log.push_back("SetCommState");
    if (refusedBaud && dcb->BaudRate == *refusedBaud) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    device = *dcb;
    return TRUE;
  }
  BOOL GetCommTimeouts(HANDLE, COMMTIMEOUTS* out) override {
    *out = timeouts;
    return TRUE;
  }
  BOOL SetCommTimeouts(HANDLE, const COMMTIMEOUTS* in) override {
    timeoutsSet.push_back(*in);
    timeouts = *in;
    return TRUE;
  }
  BOOL EscapeCommFunction(HANDLE, DWORD function) override {
    log.push_back(function == SETDTR   ? "SETDTR"
                  : function == SETRTS ? "SETRTS"
                  : function == CLRDTR ? "CLRDTR"
                  : function == CLRRTS ? "CLRRTS"
                                       : "escape?");
    if (function == SETDTR || function == CLRDTR) dtr = function == SETDTR;
    if (function == SETRTS || function == CLRRTS) rts = function == SETRTS;
    return TRUE;
  }
  BOOL ClearCommError(HANDLE, DWORD* errors, COMSTAT* status) override {
    if (Fails("ClearCommError")) return FALSE;
    *errors = 0;
    *status = {};
    status->cbInQue = static_cast<DWORD>(input.size());
    status->cbOutQue = outQueue;
    return TRUE;
  }
  BOOL PurgeComm(HANDLE, DWORD flags) override {
    purges.push_back(flags);
    return TRUE;
  }
  BOOL ReadFile(HANDLE, void* buffer, DWORD count, DWORD* read) override {
    reads.push_back({count, timeouts.ReadTotalTimeoutConstant});
    *read = 0;
    if (Fails("ReadFile")) return FALSE;
    failures.merge(failuresAfterRead);
    // Bytes that come while the read waits.
    if (input.empty()) input.swap(arriving);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (*read < count && !input.empty()) {
      bytes[(*read)++] = input.front();
      input.pop_front();
    }
    return TRUE;
  }
  BOOL WriteFile(HANDLE, const void* buffer, DWORD count, DWORD* written) override {
    writes.push_back(count);
    *written = std::min(count, writeTakes);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    output.insert(output.end(), bytes, bytes + *written);
    return !Fails("WriteFile");
  }
  BOOL FlushFileBuffers(HANDLE) override {
    log.push_back("flush");
    return TRUE;
  }
  void Sleep(DWORD milliseconds) override {
    sleeps.push_back(milliseconds);
    ::Sleep(milliseconds);
  }

  bool Fails(const std::string& call) {
    const auto it = failures.find(call);
    if (it == failures.end()) return false;
    ::SetLastError(it->second);
    return true;
  }

  struct Read {
    DWORD count;
    DWORD timeoutMs;
    friend bool operator==(const Read&, const Read&) = default;
  };

  DCB device{};
  DCB found{};
  COMMTIMEOUTS timeouts{};
  COMMTIMEOUTS foundTimeouts{};
  std::map<std::string, DWORD> failures;           // call -> GetLastError() of its failure
  std::map<std::string, DWORD> failuresAfterRead;  // joins `failures` with the next read
  std::optional<DWORD> refusedBaud;
  std::deque<std::uint8_t> input, arriving;
  DWORD outQueue = 0;
  DWORD writeTakes = MAXDWORD;
  bool dtr = false, rts = false;

  std::vector<std::wstring> opened;
  DWORD openShareMode = 99, openFlags = 99;
  std::pair<DWORD, DWORD> queueSizes;
  std::vector<DCB> states;
  std::vector<COMMTIMEOUTS> timeoutsSet;
  std::vector<std::string> log;
  std::vector<DWORD> purges;
  std::vector<Read> reads;
  std::vector<DWORD> writes;
  std::vector<std::uint8_t> output;
  std::vector<DWORD> sleeps;
};

bool OpenPort(IQX_Port& port, const std::string& parameters) {
  bool opened = false;
  EXPECT_EQ(port.Open(parameters, &opened), core::Status::Ok);
  return opened;
}

std::int16_t LastError(IQX_Port& port) {
  std::int16_t code = -1;
  port.GetLastError(&code);
  return code;
}

class Win32PortTest : public testing::Test {
 protected:
  FakeCommIo io;
  Port port{[this] { return std::make_unique<Win32SerialLine>(io); }};

  void SetUp() override { port.SetCloseDrainTimeout(30ms); }

  std::int32_t Write(std::size_t size) {
    const std::vector<std::uint8_t> bytes(size, 0x55);
    std::int32_t accepted = -1;
    port.BlockWrite(bytes.data(), static_cast<std::int32_t>(bytes.size()), &accepted);
    return accepted;
  }
  std::string Read(std::int32_t size) {
    std::string text(static_cast<std::size_t>(size) + 1, '\xAA');
    std::int32_t got = -1;
    port.BlockRead(reinterpret_cast<std::uint8_t*>(text.data()), size, &got);
    return text.substr(0, static_cast<std::size_t>(got));
  }
  bool ClosePort() {
    bool closed = false;
    port.Close(&closed);
    return closed;
  }
};

struct DcbRow {
  const char* parameters;
  const wchar_t* device;
  DWORD baud;
  BYTE parity;
  BYTE dataBits;
  BYTE stopBits;
};

class Win32PortDcbTest : public Win32PortTest, public testing::WithParamInterface<DcbRow> {};

TEST_P(Win32PortDcbTest, OpensTheDeviceAloneAndSetsItsStateOnce) {
  const DcbRow& row = GetParam();
  ASSERT_TRUE(OpenPort(port, row.parameters)) << port.GetSystemReason();
  EXPECT_THAT(io.opened, ElementsAre(row.device));
  EXPECT_EQ(io.openShareMode, 0u);  // exclusive use
  EXPECT_EQ(io.openFlags, 0u);      // synchronous
  EXPECT_EQ(io.queueSizes, (std::pair<DWORD, DWORD>{4096, 32768}));
  ASSERT_EQ(io.states.size(), 1u);
  const DCB& dcb = io.states[0];
  EXPECT_EQ(dcb.BaudRate, row.baud);
  EXPECT_EQ(dcb.Parity, row.parity);
  EXPECT_EQ(dcb.fParity, row.parity != NOPARITY);
  EXPECT_EQ(dcb.ByteSize, row.dataBits);
  EXPECT_EQ(dcb.StopBits, row.stopBits);
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_EQ(dcb.fDtrControl, DWORD{DTR_CONTROL_ENABLE});
  EXPECT_EQ(dcb.fRtsControl, DWORD{RTS_CONTROL_ENABLE});
  EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fOutX || dcb.fInX);
  EXPECT_FALSE(dcb.fDsrSensitivity || dcb.fNull || dcb.fAbortOnError);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 128);
  EXPECT_TRUE(io.dtr && io.rts);
  // Reads never wait; writes give up after a bounded time.
  ASSERT_EQ(io.timeoutsSet.size(), 1u);
  EXPECT_EQ(io.timeoutsSet[0].ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(io.timeoutsSet[0].ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(io.timeoutsSet[0].WriteTotalTimeoutConstant, serial_line::kWriteTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    OpenStrings, Win32PortDcbTest,
    testing::Values(DcbRow{"COM1:115200,E,8,1", L"\\\\.\\COM1", 115200, EVENPARITY, 8, ONESTOPBIT},
                    DcbRow{"com3:9600,n,8,2", L"\\\\.\\COM3", 9600, NOPARITY, 8, TWOSTOPBITS},
                    DcbRow{"COM12:19200,N,8,1", L"\\\\.\\COM12", 19200, NOPARITY, 8, ONESTOPBIT},
                    DcbRow{"COM2:1200,O,7,1", L"\\\\.\\COM2", 1200, ODDPARITY, 7, ONESTOPBIT},
                    // Five-bit characters take one and a half stop bits.
                    DcbRow{"COM4:300,M,5,1", L"\\\\.\\COM4", 300, MARKPARITY, 5, ONE5STOPBITS},
                    DcbRow{"COM4:300,S,5,2", L"\\\\.\\COM4", 300, SPACEPARITY, 5, ONE5STOPBITS},
                    // The driver decides on unusual rates and on 4 data bits.
                    DcbRow{"COM5:250000,N,8,1", L"\\\\.\\COM5", 250000, NOPARITY, 8, ONESTOPBIT},
                    DcbRow{"COM6:4800,N,4,1", L"\\\\.\\COM6", 4800, NOPARITY, 4, ONESTOPBIT},
                    DcbRow{R"(\\.\COM7:57600,N,8,1)", L"\\\\.\\COM7", 57600, NOPARITY, 8,
                           ONESTOPBIT},
                    // A bare name keeps the device's speed and framing, not its flow control.
                    DcbRow{"COM8", L"\\\\.\\COM8", 2400, EVENPARITY, 7, ONESTOPBIT}));

TEST_F(Win32PortTest, CloseLetsTheLastCharactersGoPutsTheFoundStateBackAndDropsDtrAndRts) {
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  io.log.clear();
  ASSERT_TRUE(ClosePort());
  EXPECT_THAT(io.log, ElementsAre("flush", "SetCommState", "CLRDTR", "CLRRTS", "close"));
  EXPECT_EQ(std::memcmp(&io.states.back(), &io.found, sizeof(DCB)), 0);
  EXPECT_EQ(std::memcmp(&io.timeoutsSet.back(), &io.foundTimeouts, sizeof(COMMTIMEOUTS)), 0);
  EXPECT_THAT(io.purges, ElementsAre(DWORD{PURGE_RXABORT | PURGE_RXCLEAR}));
  EXPECT_FALSE(io.dtr || io.rts);

  // What the driver still holds when the drain gives up is dropped instead.
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  io.outQueue = 10;
  io.log.clear();
  io.purges.clear();
  io.sleeps.clear();
  ASSERT_TRUE(ClosePort());
  EXPECT_EQ(io.log.front(), "SetCommState");
  EXPECT_THAT(io.purges, ElementsAre(DWORD{PURGE_TXABORT | PURGE_TXCLEAR},
                                     DWORD{PURGE_RXABORT | PURGE_RXCLEAR}));
  EXPECT_FALSE(io.sleeps.empty());  // it waited for the queue, in slices
  for (DWORD slice : io.sleeps) EXPECT_LE(slice, 30u);
}

TEST_F(Win32PortTest, RefusedSettingsFailTheOpenSayingWhatWasAskedAndFreeThePort) {
  io.refusedBaud = 250000;
  EXPECT_FALSE(OpenPort(port, "COM1:250000,N,8,1"));
  EXPECT_EQ(LastError(port), 1);
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("COM1: line parameters 250000,N,8,1 refused: "));
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("(error 87)"));
  EXPECT_THAT(port.GetHint(), HasSubstr("does not support these settings"));
  EXPECT_EQ(io.log.back(), "close");

  // Settings no line carries never reach the device.
  io.opened.clear();
  EXPECT_FALSE(OpenPort(port, "COM1:9600,X,8,1"));
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("unknown parity letter"));
  EXPECT_TRUE(io.opened.empty());

  EXPECT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
}

TEST_F(Win32PortTest, OpenFailuresSayWhatToDoOnWindows) {
  struct Case {
    const char* parameters;
    const char* call;
    DWORD error;
    const char* reason;
    const char* hint;
  };
  const Case cases[] = {
      {"COM5:9600,N,8,1", "Open", ERROR_ACCESS_DENIED, "COM5: open: held by another program",
       "close the other program that uses COM5 (terminal programs"},
      {"COM5:9600,N,8,1", "Open", ERROR_SHARING_VIOLATION, "held by another program", "COM5"},
      {"COM9:9600,N,8,1", "Open", ERROR_FILE_NOT_FOUND, "COM9: open: no such port",
       "Device Manager"},
      {"COM9:9600,N,8,1", "Open", ERROR_FILE_NOT_FOUND, "no such port", "--list-ports"},
      {"COM2:9600,N,8,1", "GetCommState", ERROR_INVALID_FUNCTION, "COM2: open: not a serial device",
       "serial port such as COM1"},
      {"COM0:9600,N,8,1", "", 0, "COM0: no such port (COM1 to COM256)", "Device Manager"},
      {"COM257", "", 0, "no such port", "Device Manager"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameters + std::string(" ") + c.call);
    io.failures.clear();
    if (*c.call) io.failures[c.call] = c.error;
    EXPECT_FALSE(OpenPort(port, c.parameters));
    EXPECT_EQ(LastError(port), 1);
    EXPECT_THAT(port.GetSystemReason(), HasSubstr(c.reason));
    EXPECT_THAT(port.GetHint(), HasSubstr(c.hint));
  }
}

TEST_F(Win32PortTest, ASecondPortOnTheSameComInThisProgramIsRefused) {
  ASSERT_TRUE(OpenPort(port, "COM5:9600,N,8,1"));
  Port second([this] { return std::make_unique<Win32SerialLine>(io); });
  EXPECT_FALSE(OpenPort(second, R"(\\.\COM5:9600,N,8,1)"));
  EXPECT_THAT(second.GetSystemReason(), HasSubstr("already open in this program"));
  EXPECT_EQ(io.opened.size(), 1u);
  ASSERT_TRUE(ClosePort());
  EXPECT_TRUE(OpenPort(second, R"(\\.\COM5:9600,N,8,1)"));
}

// A wait sleeps in one driver read of one byte with the wait as its time-out;
// that byte comes out first, once, before what came after it.
TEST_F(Win32PortTest, AWaitIsOneReadOfOneByteWhoseByteIsHandedOutFirst) {
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  EXPECT_FALSE(port.WaitReadable(50ms));
  EXPECT_FALSE(port.WaitReadable(50ms));
  EXPECT_THAT(io.reads, ElementsAre(FakeCommIo::Read{1, 50}, FakeCommIo::Read{1, 50}));
  EXPECT_EQ(io.timeoutsSet.size(), 2u);  // set once for both waits
  EXPECT_TRUE(io.sleeps.empty());

  io.arriving = {'A', 'B', 'C'};
  EXPECT_TRUE(port.WaitReadable(50ms));
  EXPECT_TRUE(port.WaitReadable(50ms));  // the held byte counts as input
  EXPECT_EQ(Read(1), "A");
  EXPECT_EQ(Read(10), "BC");
  EXPECT_EQ(Read(10), "");

  io.arriving = {'D', 'E'};
  EXPECT_TRUE(port.WaitReadable(20ms));
  EXPECT_EQ(Read(10), "DE");
  EXPECT_EQ(io.timeoutsSet.back().ReadTotalTimeoutConstant, 20u);
}

TEST_F(Win32PortTest, WritesTakeWhatTheTransmitQueueHasRoomFor) {
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  EXPECT_EQ(Write(40000), 32768);
  io.outQueue = 1000;
  EXPECT_EQ(Write(40000), 32768 - 1000);
  io.outQueue = 32768;
  EXPECT_EQ(Write(40000), 0);
  EXPECT_THAT(io.writes, ElementsAre(32768u, 31768u));
  // A write that timed out counts what the driver took.
  io.outQueue = 0;
  io.writeTakes = 100;
  EXPECT_EQ(Write(40000), 100);
  EXPECT_EQ(LastError(port), 0);
}

TEST_F(Win32PortTest, ARemovedAdapterIsLostAtOnce) {
  for (DWORD error : {DWORD{ERROR_BROKEN_PIPE}, DWORD{ERROR_BAD_COMMAND},
                      DWORD{ERROR_DEVICE_REMOVED}, DWORD{ERROR_OPERATION_ABORTED},
                      // Wine, when a pseudo-terminal's other end closed
                      DWORD{ERROR_NOT_READY}}) {
    SCOPED_TRACE(error);
    ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
    io.failures["ReadFile"] = error;
    EXPECT_TRUE(port.WaitReadable(1000ms));
    EXPECT_TRUE(port.IsDeviceLost());
    EXPECT_THAT(port.GetSystemReason(), HasSubstr("COM1: transfer: device went away"));
    io.failures = {{"ClearCommError", error}};
    EXPECT_EQ(Read(4), "");
    EXPECT_EQ(LastError(port), 1);
    // Later waits sleep out their time instead of returning at once forever.
    io.sleeps.clear();
    EXPECT_TRUE(port.WaitReadable(5ms));
    EXPECT_THAT(io.sleeps, ElementsAre(5u));
    io.log.clear();
    ASSERT_TRUE(ClosePort());
    EXPECT_EQ(std::count(io.log.begin(), io.log.end(), "flush"), 0);
    io.failures.clear();
  }
  // Errors of another kind neither lose the device nor make a wait spin.
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  io.failures["ReadFile"] = ERROR_INVALID_PARAMETER;
  io.sleeps.clear();
  EXPECT_FALSE(port.WaitReadable(40ms));
  EXPECT_FALSE(port.IsDeviceLost());
  EXPECT_THAT(io.sleeps, ElementsAre(40u));
}

// Wine lets a wait on a port whose other end closed run out its time without
// an error; only the queue status tells.
TEST_F(Win32PortTest, AWaitThatRanOutAsksWhetherTheDeviceIsStillThere) {
  ASSERT_TRUE(OpenPort(port, "COM1:115200,N,8,1"));
  io.failuresAfterRead = {{"ClearCommError", ERROR_NOT_READY}};
  EXPECT_TRUE(port.WaitReadable(50ms));
  EXPECT_TRUE(port.IsDeviceLost());
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("device went away"));
}

// The other end of a COM port that Wine backs with a pseudo-terminal: a Unix
// helper (Wine starts Unix programs too) opens the pseudo-terminal, points
// dosdevices\comN at it and relays bytes between its master side and a local
// TCP connection of this program (Wine hands a Unix program no pipes). Closing
// the connection closes the master, as an instrument that went away would.
class WinePseudoTerminal {
 public:
  WinePseudoTerminal() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinePseudoTerminal() {
    Hangup();
    if (process_ != nullptr) {
      ::WaitForSingleObject(process_, 5000);
      ::CloseHandle(process_);
    }
    ::WSACleanup();
  }

  // Empty when the port is there; otherwise why not.
  std::string Start(int comNumber) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr) return "not running under Wine";
    if (::GetFileAttributesW(L"Z:\\usr\\bin\\python3") == INVALID_FILE_ATTRIBUTES)
      return "no /usr/bin/python3 for the pseudo-terminal's other end";
    wchar_t folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring stem =
        std::wstring(folder) + L"pelvane-pty-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring script = stem + L".py", portFile = stem + L".port";
    ::DeleteFileW(portFile.c_str());
    HANDLE file = ::CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, kHelper, static_cast<DWORD>(std::strlen(kHelper)), &written, nullptr);
    ::CloseHandle(file);
    const auto quoted = [&](const std::wstring& windowsName) {
      const std::string name = unixName(windowsName.c_str());
      return L" \"" + std::wstring(name.begin(), name.end()) + L"\"";
    };
    const std::string link =
        std::string(unixName(L"C:\\")) + "/../dosdevices/com" + std::to_string(comNumber);
    std::wstring command = L"Z:\\usr\\bin\\python3" + quoted(script) + quoted(portFile) + L" \"" +
                           std::wstring(link.begin(), link.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started))
      return "cannot start the pseudo-terminal's other end";
    ::CloseHandle(started.hThread);
    process_ = started.hProcess;

    // The helper names its TCP port once the COM port is linked.
    int tcpPort = 0;
    for (int pass = 0; pass < 200 && tcpPort == 0; ++pass) {
      ::Sleep(50);
      file = ::CreateFileW(portFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      char text[16] = {};
      DWORD got = 0;
      ::ReadFile(file, text, sizeof text - 1, &got, nullptr);
      ::CloseHandle(file);
      tcpPort = std::atoi(text);
    }
    ::DeleteFileW(portFile.c_str());
    ::DeleteFileW(script.c_str());
    if (tcpPort == 0) return "the pseudo-terminal's other end did not start";
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(tcpPort));
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return "cannot reach the pseudo-terminal's other end";
    return {};
  }

  void Send(const std::string& bytes) {
    ::send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
  }

  // What the port sent: `count` bytes, or fewer when they did not come in time.
  std::string Receive(std::size_t count, int timeoutMs) {
    std::string bytes;
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    while (bytes.size() < count && ::GetTickCount64() < deadline) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval wait{0, 20000};
      if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      char chunk[256];
      const int got =
          ::recv(socket_, chunk, static_cast<int>(std::min(sizeof chunk, count - bytes.size())), 0);
      if (got <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  void Hangup() {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  static constexpr const char* kHelper = R"(import os, pty, select, socket, sys, tty
port_file, link = sys.argv[1], sys.argv[2]
master, slave = pty.openpty()
tty.setraw(master)
try:
    os.unlink(link)
except OSError:
    pass
os.symlink(os.ttyname(slave), link)
server = socket.create_server(("127.0.0.1", 0))
server.settimeout(20)
with open(port_file + ".new", "w") as f:
    f.write(str(server.getsockname()[1]))
os.rename(port_file + ".new", port_file)
try:
    connection, _ = server.accept()
    while True:
        ready, _, _ = select.select([connection, master], [], [])
        if connection in ready:
            data = connection.recv(4096)
            if not data:
                break
            os.write(master, data)
        if master in ready:
            connection.sendall(os.read(master, 4096))
finally:
    os.close(master)
    os.close(slave)
    os.unlink(link)
)";

  SOCKET socket_ = INVALID_SOCKET;
  HANDLE process_ = nullptr;
};

double ProcessorMilliseconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ms = [](const FILETIME& t) {
    return ((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10000.0;
  };
  return ms(kernel) + ms(user);
}

// Wine's pseudo-terminal ports are what a Windows build is tried on: bytes
// both ways, waits that sleep in the driver (overlapped I/O fails here), and a
// closed other end noticed.
TEST(WinePseudoTerminalPort, CarriesBytesSleepsInWaitsAndNoticesTheOtherEndClosing) {
  const int com = 200 + static_cast<int>(::GetCurrentProcessId() % 50);
  WinePseudoTerminal other;
  if (const std::string why = other.Start(com); !why.empty()) GTEST_SKIP() << why;
  Port port;
  ASSERT_TRUE(OpenPort(port, "COM" + std::to_string(com) + ":115200,N,8,1"))
      << port.GetSystemReason();

  const std::string sent("\x00\x11\x13\xFF hello", 10);
  std::int32_t accepted = 0;
  port.BlockWrite(reinterpret_cast<const std::uint8_t*>(sent.data()), 10, &accepted);
  EXPECT_EQ(accepted, 10);
  EXPECT_EQ(other.Receive(10, 5000), sent);

  const auto readAll = [&](std::size_t count) {
    std::string got;
    for (int pass = 0; pass < 100 && got.size() < count; ++pass) {
      port.WaitReadable(100ms);
      char buffer[64];
      std::int32_t placed = 0;
      port.BlockRead(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer, &placed);
      got.append(buffer, static_cast<std::size_t>(placed));
    }
    return got;
  };
  other.Send(std::string("\x00\x13 from the instrument", 22));
  EXPECT_EQ(readAll(22), std::string("\x00\x13 from the instrument", 22));

  // An idle wait runs its time asleep.
  const double processorBefore = ProcessorMilliseconds();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.WaitReadable(300ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_LT(ProcessorMilliseconds() - processorBefore, 100.0);

  other.Hangup();
  for (int pass = 0; pass < 50 && !port.IsDeviceLost(); ++pass) port.WaitReadable(100ms);
  EXPECT_TRUE(port.IsDeviceLost());
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("device went away"));
  bool closed = false;
  port.Close(&closed);
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace pelvane::ports::serial
