// The far end of the virtual devices: what tests and applications call, from any thread.
#include "platform/virtual.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/detail/virtual_line.h"

namespace quellin {

using detail::VirtualEndState;
using detail::VirtualLine;
using win32::DWORD;

namespace {

std::shared_ptr<VirtualLine> MakeLine(VirtualLine::Kind kind,
                                      std::initializer_list<std::string> names) {
  auto line = std::make_shared<VirtualLine>(kind);
  int end = 0;
  for (const std::string& name : names) {
    if (name.empty()) throw std::invalid_argument("a virtual device needs a name");
    line->ends[end++].name = name;
  }
  for (int i = 0; i < end; ++i) {
    if (!detail::RegisterEnd(line, i)) {
      const std::string taken = line->ends[i].name;
      while (i-- > 0) detail::UnregisterEnd(line, i);
      throw std::invalid_argument("device name already registered: " + taken);
    }
  }
  return line;
}

// Runs f on one end's state with its line locked.
template <class F>
auto With(const std::shared_ptr<VirtualLine>& line, int end, F f) {
  std::lock_guard g(line->m);
  return f(line->ends[end]);
}

}  // namespace

// ---- VirtualEnd -----------------------------------------------------------------------------

const std::string& VirtualEnd::Name() const {
  return line_->ends[end_].name;  // fixed at construction
}

bool VirtualEnd::IsOpen() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.open; });
}

void VirtualEnd::Inject(std::string_view bytes) {
  With(line_, end_, [&](VirtualEndState& e) {
    detail::Inject(*line_, e, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                   0);
  });
}

void VirtualEnd::InjectError(DWORD errors) {
  With(line_, end_, [&](VirtualEndState& e) { detail::Inject(*line_, e, nullptr, 0, errors); });
}

void VirtualEnd::InjectError(DWORD errors, unsigned char byte) {
  With(line_, end_, [&](VirtualEndState& e) { detail::Inject(*line_, e, &byte, 1, errors); });
}

void VirtualEnd::SetCts(bool on) {
  With(line_, end_, [&](VirtualEndState& e) {
    detail::SetIncoming(e, &VirtualEndState::cts, win32::EV_CTS, on);
  });
}
void VirtualEnd::SetDsr(bool on) {
  With(line_, end_, [&](VirtualEndState& e) {
    detail::SetIncoming(e, &VirtualEndState::dsr, win32::EV_DSR, on);
  });
}
void VirtualEnd::SetRlsd(bool on) {
  With(line_, end_, [&](VirtualEndState& e) {
    detail::SetIncoming(e, &VirtualEndState::rlsd, win32::EV_RLSD, on);
  });
}
void VirtualEnd::SetRing(bool on) {
  With(line_, end_, [&](VirtualEndState& e) {
    detail::SetIncoming(e, &VirtualEndState::ring, win32::EV_RING, on);
  });
}

std::string VirtualEnd::Output() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.output; });
}

std::string VirtualEnd::TakeOutput() {
  return With(line_, end_, [&](VirtualEndState& e) { return std::exchange(e.output, {}); });
}

std::string VirtualEnd::TakeOutput(std::size_t n, std::chrono::milliseconds bound) {
  std::unique_lock lock(line_->m);
  VirtualEndState& e = line_->ends[end_];
  line_->changed.wait_for(lock, bound, [&] { return e.output.size() >= n; });
  n = std::min(n, e.output.size());
  std::string taken = e.output.substr(0, n);
  e.output.erase(0, n);
  return taken;
}

bool VirtualEnd::WaitOpen(bool open, std::chrono::milliseconds bound) const {
  std::unique_lock lock(line_->m);
  VirtualEndState& e = line_->ends[end_];
  return line_->changed.wait_for(lock, bound, [&] { return e.open == open; });
}

void VirtualEnd::StallWrites(bool stalled) {
  With(line_, end_, [&](VirtualEndState& e) {
    e.stalled = stalled;
    if (!stalled) detail::Wake(e);  // held writes go on
  });
}

void VirtualEnd::FailWrites(DWORD error) {
  With(line_, end_, [&](VirtualEndState& e) {
    e.failWrites = error;
    detail::Wake(e);  // pending writes fail now
  });
}

void VirtualEnd::RefuseStates(std::function<bool(const win32::DCB&)> refuse) {
  With(line_, end_, [&](VirtualEndState& e) { e.refuse = std::move(refuse); });
}

void VirtualEnd::FailService(const std::string& service, DWORD error, unsigned skip) {
  With(line_, end_,
       [&](VirtualEndState& e) { e.failures[service][e.calls[service] + 1 + skip] = error; });
}

void VirtualEnd::Vanish() {
  With(line_, end_, [&](VirtualEndState& e) { detail::Vanish(*line_, e); });
}

bool VirtualEnd::Dtr() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.dtr; });
}
bool VirtualEnd::Rts() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.rts; });
}
bool VirtualEnd::Break() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.brk; });
}

std::vector<VirtualEnd::LineChange> VirtualEnd::LineHistory() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.history; });
}

std::size_t VirtualEnd::CountChanges(Signal signal, bool on, std::optional<Cause> cause) const {
  return With(line_, end_, [&](VirtualEndState& e) {
    return static_cast<std::size_t>(
        std::count_if(e.history.begin(), e.history.end(), [&](const LineChange& c) {
          return c.signal == signal && c.on == on && (!cause || c.cause == *cause);
        }));
  });
}

std::vector<DWORD> VirtualEnd::Escapes() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.escapes; });
}
std::optional<win32::DCB> VirtualEnd::LastState() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.lastState; });
}
std::optional<win32::COMMTIMEOUTS> VirtualEnd::LastTimeouts() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.lastTimeouts; });
}
std::optional<DWORD> VirtualEnd::Mask() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.mask; });
}
std::vector<DWORD> VirtualEnd::Purges() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.purges; });
}
std::optional<VirtualEnd::QueueSizes> VirtualEnd::LastQueueSizes() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.queueSizes; });
}

unsigned VirtualEnd::Calls(std::string_view service) const {
  return With(line_, end_, [&](VirtualEndState& e) {
    auto it = e.calls.find(service);
    return it == e.calls.end() ? 0u : it->second;
  });
}

std::size_t VirtualEnd::Queued() const {
  return With(line_, end_, [&](VirtualEndState& e) { return e.input.size(); });
}

// ---- The devices ------------------------------------------------------------------------------

VirtualPort::VirtualPort(const std::string& name)
    : VirtualEnd(MakeLine(VirtualLine::Kind::kPort, {name}), 0) {}
VirtualPort::~VirtualPort() {
  detail::UnregisterEnd(line_, 0);
}

VirtualLoopback::VirtualLoopback(const std::string& name)
    : VirtualEnd(MakeLine(VirtualLine::Kind::kLoopback, {name}), 0) {}
VirtualLoopback::~VirtualLoopback() {
  detail::UnregisterEnd(line_, 0);
}

VirtualNullModem::VirtualNullModem(const std::string& nameA, const std::string& nameB)
    : a_(MakeLine(VirtualLine::Kind::kNullModem, {nameA, nameB}), 0), b_(a_.line_, 1) {}
VirtualNullModem::~VirtualNullModem() {
  detail::UnregisterEnd(a_.line_, 0);
  detail::UnregisterEnd(a_.line_, 1);
}

}  // namespace quellin
