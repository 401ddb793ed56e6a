#include "apps/term/session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "apps/term/echo_peer.h"
#include "apps/term/exit_codes.h"
#include "component/Quellin.h"

namespace quellin::term {

namespace {

constexpr unsigned char kQuitKey = 0x1d;     // Ctrl-]
constexpr unsigned char kCommandKey = 0x14;  // Ctrl-T
constexpr std::size_t kSendChunk = 512;
// Reads per notification before the loop looks at the keyboard again; the rest is read on the
// next turn without waiting.
constexpr int kReadsPerTurn = 32;
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
constexpr auto kBreakLength = std::chrono::milliseconds(250);
// What a UART driver may still hold after the last write has returned; it has to be on the wire
// before the port is closed, because closing discards the transmit queue.
constexpr std::uint64_t kDriverQueueBytes = 4096;

const char* const kHelp =
    "Ctrl-] quit | Ctrl-T then: e echo, x hex, t timestamps, s send file, c cancel send,\r\n"
    "b break, ? help, Ctrl-T or Ctrl-] sends that key";

int BitsPerCharacter(const Options& o) {
  return 1 + o.dataBits + (o.parity == ParityOpt::kNone ? 0 : 1) +
         (o.stopBits == StopOpt::kOne ? 1 : 2);
}

std::string Quoted(const std::string& s) {
  return "'" + s + "'";
}

}  // namespace

Session::Session(Options options, SessionIo io) : o_(std::move(options)), io_(io) {
  formatter_.SetHex(o_.hex);
  formatter_.SetTimestamps(o_.timestamps);
  formatter_.SetNewline(io_.interactive ? "\r\n" : "\n");
}

Session::~Session() {
  Close();
}

int Session::Run() {
  if (int rc = Open(); rc != kExitOk) {
    Close();
    return rc;
  }
  const int rc = Loop();
  Close();
  return rc;
}

int Session::Open() {
  if (!o_.logPath.empty()) {
    logFd_ = ::open(o_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd_ < 0) {
      Fail("cannot open log file " + Quoted(o_.logPath) + ": " + std::strerror(errno));
      return kExitFile;
    }
  }
  if (!o_.sendPath.empty() && ::access(o_.sendPath.c_str(), R_OK) != 0) {
    Fail("cannot read " + Quoted(o_.sendPath) + ": " + std::strerror(errno));
    return kExitFile;
  }

  portName_ = o_.port;
  if (portName_.empty()) {
    echo_ = std::make_unique<EchoDevice>();
    std::string why;
    if (!echo_->Start(why)) {
      Fail("the built-in virtual device does not work: " + why);
      return kExitFailure;
    }
    portName_ = echo_->PortName();
  } else {
    // "ttyUSB0" means /dev/ttyUSB0 unless there is such a file right here.
    struct stat st {};
    if (portName_.find('/') == std::string::npos && ::stat(portName_.c_str(), &st) != 0 &&
        ::stat(("/dev/" + portName_).c_str(), &st) == 0)
      portName_ = "/dev/" + portName_;
    // Names the device services resolve without a path (the in-process virtual devices) are not
    // files; everything else is checked here, where the reason can still be told precisely.
    if (portName_.find('/') != std::string::npos) {
      if (::stat(portName_.c_str(), &st) != 0) {
        const int e = errno;
        if (e == EACCES) {
          Fail(portName_ + ": permission denied");
          return kExitPermission;
        }
        Fail(portName_ + ": no such port (see quellin-term --list)");
        return kExitNoSuchPort;
      }
      if (!S_ISCHR(st.st_mode)) {
        Fail(portName_ + ": not a serial port");
        return kExitNotSerial;
      }
    }
  }

  port_ = new TQuellin(nullptr);
  TQuellin& q = *port_;
  q.Port = portName_.c_str();
  q.BaudRate = static_cast<TCommInt>(o_.baud);
  q.DataBits = static_cast<TDataBits>(o_.dataBits - 4);
  q.Parity = static_cast<TParity>(o_.parity);
  q.StopBits = static_cast<TStopBits>(o_.stopBits);
  q.EnableParity = o_.parity != ParityOpt::kNone;
  q.CTSFlowCtl = o_.flow == FlowOpt::kRtsCts;
  q.DSRFlowCtl = o_.flow == FlowOpt::kDsrDtr;
  q.XOuputFlowCtl = q.XInputFlowCtl = o_.flow == FlowOpt::kXonXoff;
  // A terminal shows line errors and goes on; it must not stall the port until they are read.
  q.AbortOnError = false;
  q.OnDataAvailable = [this](TObject*) { DrainPort(); };
  q.OnErrorOccurred = [this](TObject*, int error, AnsiString) { OnLineError(error); };

  win32::SetLastError(win32::ERROR_SUCCESS);
  if (q.OpenConnection()) {
    open_ = true;
  } else {
    const win32::DWORD error = win32::GetLastError();
    switch (error) {
      case win32::ERROR_FILE_NOT_FOUND:
      case win32::ERROR_PATH_NOT_FOUND:
      case win32::ERROR_INVALID_NAME:
        Fail(portName_ + ": no such port (see quellin-term --list)");
        return kExitNoSuchPort;
      case win32::ERROR_ACCESS_DENIED:
      case win32::ERROR_SHARING_VIOLATION:
        // The device services say "access denied" for both; the file's permissions tell which.
        if (portName_.find('/') != std::string::npos &&
            ::access(portName_.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
          Fail(portName_ + ": permission denied (is your user in the port's group, e.g. dialout?)");
          return kExitPermission;
        }
        Fail(portName_ + ": port busy (another program has it open)");
        return kExitPortBusy;
      case win32::ERROR_INVALID_FUNCTION:
        Fail(portName_ + ": not a serial port");
        return kExitNotSerial;
      case win32::ERROR_DEVICE_REMOVED:
        Fail(portName_ + ": the device is gone (unplugged or hung up)");
        return kExitDeviceLost;
      case win32::ERROR_SUCCESS:  // the device opened (opening always tells why it failed)
      case win32::ERROR_INVALID_PARAMETER:
      case win32::ERROR_NOT_SUPPORTED:
      case win32::ERROR_GEN_FAILURE:
        Fail(portName_ + ": the device refused the settings " + DescribeFraming(o_) +
             ", flow control " + FlowName(o_.flow));
        return kExitSettings;
      default:
        Fail(portName_ + ": cannot open the port (system error " + std::to_string(error) + ")");
        return kExitFailure;
    }
  }

  const std::string where = echo_ ? "the built-in virtual device" : portName_;
  if (io_.interactive) {
    // Raw only now: a failure above is told on a terminal that still works as the user left it.
    raw_.Enter(io_.in);
    if (echo_) Note("No port given: using a built-in virtual device that echoes what you type.");
    Note("Connected to " + where + ", " + DescribeFraming(o_) + ", flow control " +
         FlowName(o_.flow) + ".");
    Note("Quit: Ctrl-]   Commands: Ctrl-T ?");
  } else if (echo_) {
    WriteErr(
        "quellin-term: no port given: using the built-in virtual device, which sends back "
        "whatever it receives\n");
  }

  // Bytes the device sent between the open and the start of the receive events (a greeting on
  // DTR, say) raised no event and would wait for the next byte to be seen.
  DrainPort();
  if (!o_.sendPath.empty() && !StartSend(o_.sendPath)) return kExitFile;
  return kExitOk;
}

int Session::Loop() {
  const int messageFd = vcl::Application->MessageFd();
  lastActivity_ = Clock::now();
  while (!quit_) {
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {messageFd, POLLIN, 0};
    const int sigIndex = io_.signalFd >= 0 ? static_cast<int>(n) : -1;
    if (io_.signalFd >= 0) fds[n++] = {io_.signalFd, POLLIN, 0};
    // Pipe mode sends a file before it reads its input, so the two do not interleave.
    const bool readInput = !inputEnded_ && !(send_ && !io_.interactive);
    const int inIndex = readInput ? static_cast<int>(n) : -1;
    if (readInput) fds[n++] = {io_.in, POLLIN, 0};

    // Wait without a time limit unless something is due: more of the file to send, bytes left in
    // the driver, the end of a break, or the end of the quiet period after input ended.
    int timeout = -1;
    const auto now = Clock::now();
    auto until = [&](Clock::time_point t) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
      const int wait = static_cast<int>(std::max<long long>(ms, 0));
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    };
    if (send_ || morePending_) timeout = 0;
    if (breakUntil_) until(*breakUntil_);
    if (inputEnded_ && !send_) {
      // Silence for the quiet period, and enough time for what the driver may still hold.
      const std::uint64_t queued = std::min(bytesSent_, kDriverQueueBytes);
      const auto drain = std::chrono::milliseconds(
          queued * BitsPerCharacter(o_) * 1000 / std::max<std::uint32_t>(o_.baud, 1) + 1);
      const auto end =
          std::max(lastActivity_ + std::chrono::milliseconds(o_.quietMs), lastWrite_ + drain);
      if (now >= end) break;
      until(end);
    }

    const int ready = ::poll(fds, n, timeout);
    if (ready < 0 && errno != EINTR) {
      Fail(std::string("poll: ") + std::strerror(errno));
      return kExitFailure;
    }

    if (sigIndex >= 0 && (fds[sigIndex].revents & POLLIN)) {
      signalfd_siginfo info{};
      if (::read(io_.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        EraseProgress();
        Note("ended by signal " + std::to_string(info.ssi_signo));
        return 128 + static_cast<int>(info.ssi_signo);
      }
    }
    if (fds[0].revents & POLLIN) vcl::Application->ProcessMessages();
    if (morePending_) DrainPort();
    if (quit_) break;

    if (breakUntil_ && Clock::now() >= *breakUntil_) {
      port_->EscapeComm(win32::CLRBREAK);
      breakUntil_.reset();
    }

    if (inIndex >= 0 && (fds[inIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      const ssize_t got = ::read(io_.in, buf, sizeof buf);
      if (got > 0) {
        HandleInput(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (io_.interactive) break;  // the terminal went away
        inputEnded_ = true;
        lastActivity_ = Clock::now();
      }
    }
    if (send_ && !quit_) SendChunk();
    if (outputBroken_) break;
  }
  if (send_) FinishSend("cancelled");
  return exitCode_;
}

void Session::Close() {
  if (breakUntil_ && port_) port_->EscapeComm(win32::CLRBREAK);
  breakUntil_.reset();
  if (send_) {
    ::close(send_->fd);
    send_.reset();
  }
  if (port_) {
    if (open_) port_->CloseConnection();
    open_ = false;
    delete port_;
    port_ = nullptr;
  }
  echo_.reset();  // after the near end is closed, so no echo waits for room
  raw_.Restore();
  if (logFd_ >= 0) ::close(logFd_);
  logFd_ = -1;
}

// ---- User input ---------------------------------------------------------------------------

void Session::HandleInput(const char* bytes, std::size_t n) {
  if (!io_.interactive) {
    // In pieces, taking what came back in between, for the reason given in SendChunk.
    for (std::size_t done = 0; done < n && !quit_; done += kSendChunk) {
      SendToPort(std::string(bytes + done, std::min(kSendChunk, n - done)));
      DrainPort();
    }
    return;
  }
  std::string toSend;
  for (std::size_t i = 0; i < n && !quit_; ++i)
    HandleKey(static_cast<unsigned char>(bytes[i]), toSend);
  if (!toSend.empty()) SendToPort(toSend);
}

void Session::HandleKey(unsigned char key, std::string& toSend) {
  switch (keyState_) {
    case KeyState::kPrompt:
      HandlePromptKey(key);
      return;
    case KeyState::kCommand:
      keyState_ = KeyState::kNormal;
      HandleCommand(key, toSend);
      return;
    case KeyState::kNormal:
      break;
  }
  if (key == kQuitKey) {
    quit_ = true;
    return;
  }
  if (key == kCommandKey) {
    keyState_ = KeyState::kCommand;
    return;
  }
  toSend += static_cast<char>(key);
  if (o_.echo) {
    // Enter gives a carriage return; shown alone it would overwrite the line just typed.
    std::string shown = key == '\r' ? std::string("\r\n") : std::string(1, static_cast<char>(key));
    WriteOut(shown);
  }
}

void Session::HandleCommand(unsigned char key, std::string& toSend) {
  switch (key) {
    case kCommandKey:
    case kQuitKey:
      toSend += static_cast<char>(key);
      return;
    case 'e':
    case 'E':
      o_.echo = !o_.echo;
      Note(std::string("local echo ") + (o_.echo ? "on" : "off"));
      return;
    case 'x':
    case 'X':
    case 'h':
    case 'H':
      Note(std::string("hex view ") + (formatter_.Hex() ? "off" : "on"));
      formatter_.SetHex(!formatter_.Hex());
      return;
    case 't':
    case 'T':
      formatter_.SetTimestamps(!formatter_.Timestamps());
      Note(std::string("timestamps ") + (formatter_.Timestamps() ? "on" : "off"));
      return;
    case 'b':
    case 'B':
      if (!toSend.empty()) SendToPort(std::exchange(toSend, {}));
      if (port_->EscapeComm(win32::SETBREAK)) {
        breakUntil_ = Clock::now() + kBreakLength;
        Note("break sent");
      } else {
        Note("this port cannot send a break");
      }
      return;
    case 's':
    case 'S':
      if (send_) {
        Note("a file is being sent already (Ctrl-T c cancels it)");
        return;
      }
      prompt_.clear();
      keyState_ = KeyState::kPrompt;
      WriteOut(formatter_.BreakLine() + "[quellin-term] file to send (Enter sends, Esc cancels): ");
      return;
    case 'c':
    case 'C':
      if (send_)
        FinishSend("cancelled");
      else
        Note("no file is being sent");
      return;
    case '?':
    case '/':
      Note(kHelp);
      return;
    default:
      Note("unknown command key; Ctrl-T ? lists them");
      return;
  }
}

void Session::HandlePromptKey(unsigned char key) {
  if (key == '\r' || key == '\n') {
    keyState_ = KeyState::kNormal;
    WriteOut("\r\n");
    if (prompt_.empty()) {
      Note("nothing sent");
    } else if (!StartSend(prompt_)) {
      // StartSend has said why; the session goes on.
    }
    return;
  }
  if (key == 0x1b || key == 0x03 || key == 0x07) {  // Esc, Ctrl-C, Ctrl-G
    keyState_ = KeyState::kNormal;
    WriteOut("\r\n");
    Note("send cancelled");
    return;
  }
  if (key == 0x7f || key == 0x08) {
    if (!prompt_.empty()) {
      prompt_.pop_back();
      WriteOut("\b \b");
    }
    return;
  }
  if (key >= 0x20) {
    prompt_ += static_cast<char>(key);
    WriteOut(std::string(1, static_cast<char>(key)));
  }
}

std::size_t Session::SendToPort(const std::string& bytes) {
  if (bytes.empty()) return 0;
  // Byte by byte, stopping at the first that does not go out: a device that takes nothing (flow
  // control held, a stalled line) then holds the session for one byte's bounded wait, not for
  // one wait per byte of the whole piece, and the keys stay live.
  std::size_t sent = 0;
  win32::SetLastError(win32::ERROR_SUCCESS);
  while (sent < bytes.size() && port_->WriteCommByte(static_cast<unsigned char>(bytes[sent])))
    ++sent;
  lastWrite_ = lastActivity_ = Clock::now();
  bytesSent_ += sent;
  if (sent == bytes.size()) return sent;
  if (win32::GetLastError() == win32::ERROR_DEVICE_REMOVED) {
    EraseProgress();
    Fail(portName_ + ": the device is gone (unplugged or hung up)");
    exitCode_ = kExitDeviceLost;
    quit_ = true;
  } else {
    if (!io_.interactive) exitCode_ = kExitFailure;  // a script must not take it for success
    Note(std::to_string(bytes.size() - sent) +
         " bytes not sent: the device did not take them in time");
  }
  return sent;
}

// ---- Received data ------------------------------------------------------------------------

void Session::DrainPort() {
  morePending_ = false;
  if (!open_) return;
  for (int i = 0; i < kReadsPerTurn; ++i) {
    AnsiString got = port_->Text;
    if (got.IsEmpty()) return;
    Deliver(got.str());
  }
  morePending_ = true;
}

void Session::Deliver(const std::string& bytes) {
  lastActivity_ = Clock::now();
  if (logFd_ >= 0) WriteFd(logFd_, bytes);
  if (io_.interactive && barShown_) EraseProgress();
  WriteOut(formatter_.Format(bytes, std::chrono::system_clock::now()));
}

void Session::OnLineError(int mask) {
  if (mask == 0) return;
  Note("line error: " + DescribeLineErrors(mask));
}

// ---- Sending a file -------------------------------------------------------------------------

bool Session::StartSend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
    if (fd >= 0) ::close(fd);
    if (io_.interactive && port_ && open_)
      Note("cannot send " + Quoted(path) + ": " + why);
    else
      Fail("cannot send " + Quoted(path) + ": " + why);
    return false;
  }
  send_ = std::make_unique<Send>();
  send_->fd = fd;
  send_->name = path;
  send_->total = static_cast<std::uint64_t>(st.st_size);
  send_->start = Clock::now();
  Note("sending " + Quoted(path) + " (" + FormatBytes(send_->total) + "); Ctrl-T c cancels");
  DrawProgress(true);
  return true;
}

void Session::SendChunk() {
  char buf[kSendChunk];
  const ssize_t got = ::read(send_->fd, buf, sizeof buf);
  if (got < 0) {
    if (errno == EINTR) return;
    FinishSend(std::string("stopped: ") + std::strerror(errno));
    return;
  }
  if (got == 0) {
    FinishSend("done");
    return;
  }
  const std::size_t sent = SendToPort(std::string(buf, static_cast<std::size_t>(got)));
  if (!send_) return;
  send_->sent += sent;
  if (sent < static_cast<std::size_t>(got)) {
    FinishSend(quit_ ? "stopped" : "stopped, the device took no more");
    return;
  }
  // What came back while the chunk went out is taken now: with an echoing far end, a full
  // input here would otherwise hold the echo and, behind it, the next chunk.
  DrainPort();
  DrawProgress(false);
}

void Session::FinishSend(const std::string& how) {
  if (!send_) return;
  DrawProgress(true);
  EraseProgress();
  Progress p{send_->sent, send_->total,
             std::chrono::duration<double>(Clock::now() - send_->start).count()};
  ::close(send_->fd);
  const std::string name = send_->name;
  send_.reset();
  Note(Quoted(name) + ": " +
       (how == "done"
            ? FormatSendSummary(p)
            : how + " (" + FormatBytes(p.sent) + " of " + FormatBytes(p.total) + " sent)"));
}

void Session::DrawProgress(bool force) {
  if (!send_) return;
  const int fd = io_.interactive ? io_.out : io_.err;
  if (!isatty(fd)) return;
  const auto now = Clock::now();
  if (!force && now - send_->lastDraw < kProgressEvery) return;
  send_->lastDraw = now;
  Progress p{send_->sent, send_->total, std::chrono::duration<double>(now - send_->start).count()};
  std::string line = io_.interactive ? formatter_.BreakLine() : std::string();
  line += "\r\x1b[K" + FormatProgress(p, std::max(io_.columns - 1, 20));
  WriteFd(fd, line);
  barShown_ = true;
}

void Session::EraseProgress() {
  if (!barShown_) return;
  barShown_ = false;
  WriteFd(io_.interactive ? io_.out : io_.err, "\r\x1b[K");
}

// ---- Output ---------------------------------------------------------------------------------

void Session::Note(const std::string& text) {
  if (io_.interactive) {
    EraseProgress();
    WriteOut(formatter_.BreakLine() + "[quellin-term] " + text + "\r\n");
  } else {
    WriteErr("quellin-term: " + text + "\n");
  }
}

void Session::Fail(const std::string& text) {
  // Failure messages go where the user looks for them even when the output is piped on.
  const std::string line = "quellin-term: " + text;
  if (io_.interactive && port_ && open_) {
    EraseProgress();
    WriteOut(formatter_.BreakLine() + line + "\r\n");
  } else {
    WriteErr(line + "\n");
  }
}

void Session::WriteOut(const std::string& text) {
  WriteFd(io_.out, text);
}
void Session::WriteErr(const std::string& text) {
  WriteFd(io_.err, text);
}

void Session::WriteFd(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
    } else {
      if (fd == io_.out) outputBroken_ = true;
      return;
    }
  }
}

}  // namespace quellin::term
