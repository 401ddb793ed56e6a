// Exceptions of the runtime, VCL-shaped: every one derives from Exception and carries Message.
#pragma once

#include <exception>

#include "vcl/ansistring.h"

namespace vcl {

class Exception : public std::exception {
 public:
  explicit Exception(const AnsiString& message) : Message(message) {}
  const char* what() const noexcept override { return Message.c_str(); }

  AnsiString Message;
};

class EConvertError : public Exception {
  using Exception::Exception;
};
class ERangeError : public Exception {
  using Exception::Exception;
};
// Naming or ownership mistakes on components (an invalid or duplicate Name, ...).
class EComponentError : public Exception {
  using Exception::Exception;
};
// Property access refused: read-only, unknown, or of another kind.
class EPropertyError : public Exception {
  using Exception::Exception;
};
class EStreamError : public Exception {
  using Exception::Exception;
};
class EFilerError : public EStreamError {
  using EStreamError::EStreamError;
};

// Every refusal while reading a form file is an EReadError; its Message starts with
// "Line N: " and Line holds N (0 when no line applies).
class EReadError : public EFilerError {
 public:
  EReadError(int line, const AnsiString& message);
  int Line;
};
// The text is not a well-formed form file (syntax, nesting too deep, junk).
class EParserError : public EReadError {
  using EReadError::EReadError;
};
// The form names a class that is not registered.
class EClassNotFound : public EReadError {
  using EReadError::EReadError;
};

// A component cannot be written as form text (a value its type cannot spell, nesting too deep).
class EWriteError : public EFilerError {
  using EFilerError::EFilerError;
};

class EOutOfResources : public Exception {
  using Exception::Exception;
};

class EPackageError : public Exception {
  using Exception::Exception;
};
class EThread : public Exception {
  using Exception::Exception;
};

}  // namespace vcl
