#pragma once
// Failures a link raises during an exchange. The framings catch them by class, count them and turn them
// into a false result; the class says which failure kind the link is told about.
#include <stdexcept>
#include <string>

namespace orvela {

// Common base so a reader thread can catch every link failure in one place.
class ELinkError : public std::runtime_error {
 public:
  explicit ELinkError(const std::string& message) : std::runtime_error(message) {}
};

// The connection was lost (socket closed by the peer, send failed, modem carrier dropped).
class EConnectExcept : public ELinkError {
 public:
  using ELinkError::ELinkError;
};

// Receiving failed (time-out, broken frame).
class EReadExcept : public ELinkError {
 public:
  using ELinkError::ELinkError;
};

// Sending failed (the device never got ready or never acknowledged).
class EWriteExcept : public ELinkError {
 public:
  using ELinkError::ELinkError;
};

// The device does not answer.
class EPriborReadExcept : public ELinkError {
 public:
  using ELinkError::ELinkError;
};

// The serial component failed (an empty read, a port error).
class EPortExcept : public ELinkError {
 public:
  using ELinkError::ELinkError;
};

// Message texts shared by several links.
inline constexpr const char* kConnectionLostText = "Обрыв соединения";

}  // namespace orvela
