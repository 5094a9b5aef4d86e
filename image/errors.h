// The engine's exception family. Every failure of the environment (files, memory,
// library errors) arrives at the program as one of these; the program turns any of
// them into its exit-99 message.
#pragma once

#include <stdexcept>
#include <string>

namespace tw {

class EIEException : public std::runtime_error {
  public:
    explicit EIEException(const std::string& msg) : std::runtime_error(msg) {}
};

// A file could not be opened or created; SysError is the system's error number.
class EFOpenError : public EIEException {
  public:
    EFOpenError(const std::string& msg, int sysError = 0) : EIEException(msg), SysError(sysError) {}
    int SysError;
};
class EFCreateError : public EIEException {
  public:
    EFCreateError(const std::string& msg, int sysError = 0) : EIEException(msg), SysError(sysError) {}
    int SysError;
};

// Input/output failures of streams.
class EInOutError : public EIEException {
  public:
    using EIEException::EIEException;
};
class EReadError : public EIEException {
  public:
    using EIEException::EIEException;
};
class EWriteError : public EIEException {
  public:
    using EIEException::EIEException;
};

// A decoded image would exceed the configured resource limits.
class EIELimitError : public EIEException {
  public:
    using EIEException::EIEException;
};

} // namespace tw
