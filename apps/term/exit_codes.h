// The exit status of quellin-term: one per kind of failure, so a script can tell them apart.
#pragma once

namespace quellin::term {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,        // anything not listed below
  kExitUsage = 2,          // the command line is wrong
  kExitNoSuchPort = 3,     // nothing of that name
  kExitPortBusy = 4,       // another program (or this one) has the port open
  kExitPermission = 5,     // the user may not open the port
  kExitSettings = 6,       // the device refused the line settings
  kExitNotSerial = 7,      // the name is a file or device that is not a serial port
  kExitDeviceLost = 8,     // the device went away while the session ran
  kExitFile = 9,           // a file to send or log to could not be used
  kExitInterrupted = 130,  // a signal ended the session (128 + SIGINT; other signals 128 + n)
};

}  // namespace quellin::term
