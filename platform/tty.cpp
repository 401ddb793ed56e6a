// Linux ttys as devices. The whole line configuration goes through termios2 (TCGETS2/TCSETS2)
// so rates without a B-constant work; <asm/termbits.h> clashes with glibc's <termios.h>, which is
// why every tty call lives in this one file and nothing here includes the latter.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "platform/detail/tty.h"

namespace win32::detail {

namespace {

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EBUSY:
    case EROFS:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
    case EPIPE:
      return ERROR_DEVICE_REMOVED;  // the line went away (hang-up, unplugged adapter)
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

struct Rate {
  DWORD baud;
  unsigned code;
};
constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}};

// Drivers round a rate to what their divisor can make; more than 2% off is a rate they refused.
bool RateTaken(DWORD wanted, DWORD got) {
  const DWORD diff = wanted > got ? wanted - got : got - wanted;
  return std::uint64_t{diff} * 50 <= wanted;
}

bool NoModemLines(int e) {
  return e == ENOTTY || e == EINVAL;
}

}  // namespace

namespace {

class TtyDevice final : public Device {
 public:
  TtyDevice(int fd, bool pseudo) : fd_(fd), pseudo_(pseudo) {
    iCount_ = ioctl(fd_, TIOCGICOUNT, &last_) == 0;
  }
  ~TtyDevice() override {
    // Closing releases flock; TIOCNXCL lets others in even if a descriptor leaked to a child.
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  int ReadyFd() const override { return fd_; }

  DWORD Read(void* buffer, std::size_t size, std::size_t& done) override {
    done = 0;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n > 0) {
        done = static_cast<std::size_t>(n);
        // More than was known to be queued: some arrived since the last Collect and must still be
        // reported as an arrival even though they are gone from the queue now.
        if (done > seen_) pending_ |= EV_RXCHAR;
        seen_ = done >= seen_ ? 0 : seen_ - static_cast<unsigned>(done);
        return ERROR_SUCCESS;
      }
      if (n == 0) return size == 0 ? ERROR_SUCCESS : ERROR_DEVICE_REMOVED;  // hung up
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return ERROR_SUCCESS;
      return ErrorFromErrno(errno);
    }
  }

  DWORD Write(const void* buffer, std::size_t size, std::size_t& done) override {
    done = 0;
    for (;;) {
      ssize_t n = ::write(fd_, buffer, size);
      if (n >= 0) {
        done = static_cast<std::size_t>(n);
        if (n > 0) sending_ = true;
        return ERROR_SUCCESS;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return ERROR_SUCCESS;
      return ErrorFromErrno(errno);
    }
  }

  Happenings Collect() override {
    Happenings h;
    int queued = 0;
    // FIONREAD, not the edge itself, decides: a wake-up for output space or a spurious one must
    // not pass for an arrival.
    if (ioctl(fd_, FIONREAD, &queued) == 0) {
      if (static_cast<unsigned>(queued) > seen_) h.events |= EV_RXCHAR;
      seen_ = static_cast<unsigned>(queued);
    }
    h.events |= pending_;
    pending_ = 0;
    serial_icounter_struct now{};
    if (iCount_ && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      auto grew = [](int a, int b) { return a != b; };
      if (grew(now.frame, last_.frame)) h.errors |= CE_FRAME, h.events |= EV_ERR;
      if (grew(now.parity, last_.parity)) h.errors |= CE_RXPARITY, h.events |= EV_ERR;
      if (grew(now.overrun, last_.overrun)) h.errors |= CE_OVERRUN, h.events |= EV_ERR;
      if (grew(now.buf_overrun, last_.buf_overrun)) h.errors |= CE_RXOVER;
      if (grew(now.brk, last_.brk)) h.errors |= CE_BREAK, h.events |= EV_BREAK;
      if (grew(now.cts, last_.cts)) h.events |= EV_CTS;
      if (grew(now.dsr, last_.dsr)) h.events |= EV_DSR;
      if (grew(now.dcd, last_.dcd)) h.events |= EV_RLSD;
      if (grew(now.rng, last_.rng)) h.events |= EV_RING;
      last_ = now;
    }
    if (sending_) {
      int out = 0;
      if (ioctl(fd_, TIOCOUTQ, &out) == 0 && out == 0) {
        h.events |= EV_TXEMPTY;
        sending_ = false;
      }
    }
    return h;
  }

  DWORD ReadState(DCB& dcb) override {
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) return ErrorFromErrno(errno);
    if (t.c_ospeed != 0) dcb.BaudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
      case CS5:
        dcb.ByteSize = 5;
        break;
      case CS6:
        dcb.ByteSize = 6;
        break;
      case CS7:
        dcb.ByteSize = 7;
        break;
      default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
      dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
      dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
      dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    // With five data bits the UART sends 1.5 stop bits for CSTOPB.
    dcb.StopBits = !(t.c_cflag & CSTOPB) ? ONESTOPBIT
                   : dcb.ByteSize == 5   ? ONE5STOPBITS
                                         : TWOSTOPBITS;
    const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = rtscts;
    dcb.fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    if (t.c_cc[VSTART] != t.c_cc[VSTOP]) {
      dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
      dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    }
    return ERROR_SUCCESS;
  }

  DWORD ApplyState(const DCB& next, const DCB& /*previous*/) override {
    termios2 old{};
    if (ioctl(fd_, TCGETS2, &old) != 0) return ErrorFromErrno(errno);
    termios2 t = old;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    static constexpr unsigned kSize[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSize[next.ByteSize - 5] | CREAD | CLOCAL;
    switch (next.Parity) {
      case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
      case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
      case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (next.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (next.fOutxCtsFlow || next.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    if (next.fOutX) t.c_iflag |= IXON;
    if (next.fInX) t.c_iflag |= IXOFF;
    if (next.fParity) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(next.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(next.XoffChar);
    unsigned code = BOTHER;
    for (const Rate& r : kRates)
      if (r.baud == next.BaudRate) code = r.code;
    t.c_cflag |= code;
    t.c_ispeed = t.c_ospeed = next.BaudRate;
    if (ioctl(fd_, TCSETS2, &t) != 0) return ErrorFromErrno(errno);

    // Drivers take what they can without complaint; read back to see what they really took.
    // A pseudo-terminal puts no bits on a wire and always reports CS8 without parity, so its
    // character size and parity are not held against it.
    termios2 got{};
    const unsigned framing = pseudo_ ? (PARODD | CMSPAR | CSTOPB | CRTSCTS)
                                     : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    if (ioctl(fd_, TCGETS2, &got) != 0 || !RateTaken(next.BaudRate, got.c_ospeed) ||
        (got.c_cflag & framing) != (t.c_cflag & framing)) {
      ioctl(fd_, TCSETS2, &old);
      return ERROR_INVALID_PARAMETER;
    }

    // SetCommState drives the lines its control modes own.
    if (next.fDtrControl == DTR_CONTROL_DISABLE)
      Lines(TIOCM_DTR, false);
    else
      Lines(TIOCM_DTR, true);  // enable, and handshake starts ready to receive
    if (next.fRtsControl == RTS_CONTROL_DISABLE)
      Lines(TIOCM_RTS, false);
    else if (next.fRtsControl == RTS_CONTROL_ENABLE)
      Lines(TIOCM_RTS, true);
    return ERROR_SUCCESS;
  }

  DWORD GetQueues(COMSTAT& stat) override {
    int in = 0, out = 0;
    if (ioctl(fd_, FIONREAD, &in) != 0) return ErrorFromErrno(errno);
    if (ioctl(fd_, TIOCOUTQ, &out) != 0) out = 0;
    stat.cbInQue = static_cast<DWORD>(in);
    stat.cbOutQue = static_cast<DWORD>(out);
    termios2 t{};
    int lines = 0;
    if (ioctl(fd_, TCGETS2, &t) == 0 && (t.c_cflag & CRTSCTS) && ioctl(fd_, TIOCMGET, &lines) == 0)
      stat.fCtsHold = (lines & TIOCM_CTS) == 0;
    return ERROR_SUCCESS;
  }

  DWORD Purge(bool input, bool output) override {
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (ioctl(fd_, TCFLSH, which) != 0) return ErrorFromErrno(errno);
    if (input) seen_ = 0;
    return ERROR_SUCCESS;
  }

  DWORD Escape(DWORD function) override {
    int r = 0;
    switch (function) {
      case SETXOFF:
        r = ioctl(fd_, TCXONC, TCOOFF);
        break;  // as if XOFF had been received
      case SETXON:
        r = ioctl(fd_, TCXONC, TCOON);
        break;
      case SETBREAK:
        r = ioctl(fd_, TIOCSBRK);
        break;
      case CLRBREAK:
        r = ioctl(fd_, TIOCCBRK);
        break;
      case SETDTR:
        return Lines(TIOCM_DTR, true);
      case CLRDTR:
        return Lines(TIOCM_DTR, false);
      case SETRTS:
        return Lines(TIOCM_RTS, true);
      case CLRRTS:
        return Lines(TIOCM_RTS, false);
      default:
        return ERROR_INVALID_PARAMETER;
    }
    return r == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
  }

  DWORD GetModemStatus(DWORD& status) override {
    int lines = 0;
    status = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) {
      // A pseudo-terminal has no modem lines: all of them read as off.
      return NoModemLines(errno) ? ERROR_SUCCESS : ErrorFromErrno(errno);
    }
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return ERROR_SUCCESS;
  }

 private:
  // DTR/RTS. A driver without modem lines (a pseudo-terminal) cannot fail a request to drive
  // them in any way that matters to the program, so the request succeeds there as it would on a
  // port with nothing plugged in.
  DWORD Lines(int bits, bool on) {
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return ERROR_SUCCESS;
    return NoModemLines(errno) ? ERROR_SUCCESS : ErrorFromErrno(errno);
  }

  const int fd_;
  const bool pseudo_;
  bool iCount_ = false;
  serial_icounter_struct last_{};
  unsigned seen_ = 0;     // bytes queued that have already been reported as arrived
  DWORD pending_ = 0;     // events noticed by Read, handed out by the next Collect
  bool sending_ = false;  // written since the output queue was last seen empty
};

// Something that opened but has no line (a regular file, /dev/null): transfers only.
class FileDevice final : public Device {
 public:
  explicit FileDevice(int fd) : fd_(fd) {}
  ~FileDevice() override { ::close(fd_); }
  bool IsCommDevice() const override { return false; }
  int ReadyFd() const override { return -1; }
  DWORD Read(void* buffer, std::size_t size, std::size_t& done) override {
    ssize_t n;
    do n = ::read(fd_, buffer, size);
    while (n < 0 && errno == EINTR);
    done = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n < 0 && errno != EAGAIN ? ErrorFromErrno(errno) : ERROR_SUCCESS;
  }
  DWORD Write(const void* buffer, std::size_t size, std::size_t& done) override {
    ssize_t n;
    do n = ::write(fd_, buffer, size);
    while (n < 0 && errno == EINTR);
    done = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n < 0 && errno != EAGAIN ? ErrorFromErrno(errno) : ERROR_SUCCESS;
  }
  Happenings Collect() override { return {}; }
  DWORD ReadState(DCB&) override { return ERROR_INVALID_FUNCTION; }
  DWORD ApplyState(const DCB&, const DCB&) override { return ERROR_INVALID_FUNCTION; }
  DWORD GetQueues(COMSTAT&) override { return ERROR_INVALID_FUNCTION; }
  DWORD Purge(bool, bool) override { return ERROR_INVALID_FUNCTION; }
  DWORD Escape(DWORD) override { return ERROR_INVALID_FUNCTION; }
  DWORD GetModemStatus(DWORD&) override { return ERROR_INVALID_FUNCTION; }

 private:
  const int fd_;
};

}  // namespace

DWORD OpenPathDevice(const char* path, DWORD access, std::unique_ptr<Device>& device) {
  const bool rd = (access & GENERIC_READ) != 0, wr = (access & GENERIC_WRITE) != 0;
  const int mode = rd == wr ? O_RDWR : rd ? O_RDONLY : O_WRONLY;
  int fd = ::open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  termios2 t{};
  if (!S_ISCHR(st.st_mode) || ioctl(fd, TCGETS2, &t) != 0) {
    device = std::make_unique<FileDevice>(fd);
    return ERROR_SUCCESS;
  }
  // Exclusive, against this process and others alike: flock is per open file description, so a
  // second open here fails as one elsewhere does; TIOCEXCL also turns away programs that do not
  // flock (root passes it, flock still holds).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    const DWORD e = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
    ::close(fd);
    return e;
  }
  // Raw: bytes pass untouched both ways, nothing is echoed, no character raises a signal.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | ECHOCTL | ECHOKE);
  t.c_cflag &= ~(CSIZE | PARENB);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &t) != 0) {
    const DWORD e = ErrorFromErrno(errno);
    ::close(fd);
    return e;
  }
  // Unix98 pseudo-terminal slaves have majors 136..143.
  const bool pseudo = major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  device = std::make_unique<TtyDevice>(fd, pseudo);
  return ERROR_SUCCESS;
}

}  // namespace win32::detail
