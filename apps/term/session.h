// One run of quellin-term: opens the port through TQuellin, then moves bytes between the user
// and the device until the user quits, input ends (pipe mode) or a signal arrives. Everything
// happens on the calling thread, in one poll over the user's input, the signal descriptor and
// the runtime's message queue; the component's notifications arrive through that queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "apps/term/format.h"
#include "apps/term/options.h"
#include "apps/term/rawtty.h"

namespace Quellin {
class TQuellin;
}

namespace quellin::term {

class EchoDevice;

struct SessionIo {
  int in = 0;         // keys, or the data to send in pipe mode
  int out = 1;        // received bytes (and, interactively, every message)
  int err = 2;        // messages in pipe mode
  int signalFd = -1;  // readable when a termination signal arrived; -1: none
  bool interactive = true;
  int columns = 80;  // width for the progress bar
};

class Session {
 public:
  Session(Options options, SessionIo io);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs to the end and returns the exit status (see exit_codes.h). A failure has been told to the
  // user in one line by then.
  int Run();

 private:
  using Clock = std::chrono::steady_clock;

  int Open();
  int Loop();
  void Close();

  // User input.
  void HandleInput(const char* bytes, std::size_t n);
  void HandleKey(unsigned char key, std::string& toSend);
  void HandleCommand(unsigned char key, std::string& toSend);
  void HandlePromptKey(unsigned char key);
  // The number of bytes that went out; the rest was refused (and said so).
  std::size_t SendToPort(const std::string& bytes);

  // Received data.
  void DrainPort();
  void Deliver(const std::string& bytes);
  void OnLineError(int mask);

  // Sending a file.
  bool StartSend(const std::string& path);
  void SendChunk();
  void FinishSend(const std::string& how);
  void DrawProgress(bool force);
  void EraseProgress();

  // Output.
  void Note(const std::string& text);  // a message of ours, on a line of its own
  void Fail(const std::string& text);  // the one-line failure message
  void WriteOut(const std::string& text);
  void WriteErr(const std::string& text);
  void WriteFd(int fd, const std::string& text);

  Options o_;
  SessionIo io_;
  std::string portName_;  // what the component opens
  std::unique_ptr<EchoDevice> echo_;
  RawTerminal raw_;
  Quellin::TQuellin* port_ = nullptr;
  bool open_ = false;
  ReceiveFormatter formatter_;
  int logFd_ = -1;

  enum class KeyState { kNormal, kCommand, kPrompt } keyState_ = KeyState::kNormal;
  std::string prompt_;

  struct Send {
    int fd = -1;
    std::string name;
    std::uint64_t total = 0, sent = 0;
    Clock::time_point start, lastDraw;
  };
  std::unique_ptr<Send> send_;
  bool barShown_ = false;

  bool inputEnded_ = false;
  bool quit_ = false;
  bool morePending_ = false;   // the last drain stopped before the driver was empty
  bool outputBroken_ = false;  // the reader of our output has gone
  int exitCode_ = 0;
  std::uint64_t bytesSent_ = 0;
  Clock::time_point lastActivity_ = Clock::now();
  Clock::time_point lastWrite_ = Clock::now();
  std::optional<Clock::time_point> breakUntil_;
};

}  // namespace quellin::term
