// The exception tree of the network layers (transport, HTTP, cookies).
//
// Every network failure is an ENetException. ENetSilentException marks an expected end (a peer
// that closed) rather than a fault. Classes with a fixed text construct it by default; every
// class also takes an explicit message for subclasses and special cases. Exceptions are plain
// values: safe to copy and to throw across threads.
#pragma once

#include <string>

#include "netbase/NetBase.h"

// An expected end of a connection; callers usually catch it and carry on.
class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

// The peer closed the connection (or a wait found no socket at all).
class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
  using ENetSilentException::ENetSilentException;
};

// A line-protocol reply with a code the caller did not allow; the message is the reply's text
// lines, each followed by CR LF.
class ENetProtocolReplyError : public ENetException {
 public:
  ENetProtocolReplyError(int reply_code, std::string message)
      : ENetException(std::move(message)), reply_code_(reply_code) {}
  int ReplyCode() const { return reply_code_; }

 private:
  int reply_code_;
};

// A TLS handshake or a TLS record failed: the server's certificate was not trusted, was not
// made out to the server's name or has expired, the server offered nothing newer than TLS 1.1,
// or the bytes were not TLS at all. The message says which. ReplyCode() is the certificate
// check's result code when the certificate was refused, else 0. Raised by the TLS-capable I/O
// handler; the HTTP client closes the connection before passing it on.
class ENetSSLProtocolReplyError : public ENetProtocolReplyError {
 public:
  explicit ENetSSLProtocolReplyError(std::string message, int reply_code = 0)
      : ENetProtocolReplyError(reply_code, std::move(message)) {}
};

// Declares a class with a fixed default text that may be overridden.
#define VM_NET_EXCEPTION(name, parent, text)                           \
  class name : public parent {                                         \
   public:                                                             \
    name() : parent(text) {}                                           \
    explicit name(std::string message) : parent(std::move(message)) {} \
  }
// Declares an abstract-by-convention base with no text of its own.
#define VM_NET_EXCEPTION_BASE(name, parent) \
  class name : public parent {              \
   public:                                  \
    using parent::parent;                   \
  }

// ---- Socket stack ----------------------------------------------------------------------------

// A socket call failed. ErrorCode() is in the socket error numbering (10061 = refused, ...).
class ENetSocketError : public ENetException {
 public:
  ENetSocketError(int error_code, std::string message)
      : ENetException(std::move(message)), error_code_(error_code) {}
  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

VM_NET_EXCEPTION(ENetInvalidSocket, ENetException, "Cannot allocate socket.");
VM_NET_EXCEPTION_BASE(ENetStackError, ENetException);
VM_NET_EXCEPTION(ENetStackInitializationFailed, ENetStackError, "Winsock Initialization Error.");
VM_NET_EXCEPTION(ENetStackSetSizeExceeded, ENetStackError, "Set Size Exceeded.");

// "<name> is not a valid service."
class ENetInvalidServiceName : public ENetException {
 public:
  explicit ENetInvalidServiceName(const std::string& service_name)
      : ENetException(service_name + " is not a valid service.") {}
};

// ---- Socket handles, I/O handlers, connecting ------------------------------------------------

VM_NET_EXCEPTION_BASE(ENetSocketHandleError, ENetException);
VM_NET_EXCEPTION(ENetCouldNotBindSocket, ENetSocketHandleError,
                 "Could not bind socket. Address and port are already in use.");

// "Invalid Port Range (min - max)"
class ENetInvalidPortRange : public ENetSocketHandleError {
 public:
  ENetInvalidPortRange(int port_min, int port_max);
};

// "Can not bind in port range (min - max)"
class ENetCanNotBindPortInRange : public ENetSocketHandleError {
 public:
  ENetCanNotBindPortInRange(int port_min, int port_max);
};

VM_NET_EXCEPTION(ENetClosedSocket, ENetException, "Disconnected.");
VM_NET_EXCEPTION(ENetAlreadyConnected, ENetException, "Already connected.");
VM_NET_EXCEPTION(ENetConnectTimeout, ENetException, "Connect timed out.");
// A connect with a time-out failed: the socket error's message, and its number (0 when it had
// none).
class ENetConnectException : public ENetException {
 public:
  explicit ENetConnectException(std::string message, int error_code = 0)
      : ENetException(std::move(message)), error_code_(error_code) {}
  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

// ---- TCP connection ---------------------------------------------------------------------------

VM_NET_EXCEPTION(ENetReadTimeout, ENetException, "Read Timeout");
VM_NET_EXCEPTION(ENetReadLnMaxLineLengthExceeded, ENetException, "Max line length exceeded.");
VM_NET_EXCEPTION_BASE(ENetTCPConnectionError, ENetException);
VM_NET_EXCEPTION(ENetNotConnected, ENetTCPConnectionError, "Not Connected");
VM_NET_EXCEPTION(ENetNotEnoughDataInBuffer, ENetTCPConnectionError, "Not enough data in buffer.");
VM_NET_EXCEPTION(ENetNoDataToRead, ENetTCPConnectionError, "No data to read.");

// File "<name>" not found
class ENetFileNotFound : public ENetTCPConnectionError {
 public:
  explicit ENetFileNotFound(const std::string& file_name)
      : ENetTCPConnectionError("File \"" + file_name + "\" not found") {}
};

// ---- SOCKS negotiation -----------------------------------------------------------------------

VM_NET_EXCEPTION_BASE(ENetSocksError, ENetException);
VM_NET_EXCEPTION(ENetSocksRequestFailed, ENetSocksError, "Request rejected or failed.");
VM_NET_EXCEPTION(ENetSocksRequestServerFailed, ENetSocksError,
                 "Request rejected because SOCKS server cannot connect.");
VM_NET_EXCEPTION(ENetSocksRequestIdentFailed, ENetSocksError,
                 "Request rejected because the client program and identd report different "
                 "user-ids.");
VM_NET_EXCEPTION(ENetSocksUnknownError, ENetSocksError, "Unknown socks error.");
VM_NET_EXCEPTION(ENetSocksServerRespondError, ENetSocksError, "Socks server did not respond.");
VM_NET_EXCEPTION(ENetSocksAuthMethodError, ENetSocksError, "Invalid socks authentication method.");
VM_NET_EXCEPTION(ENetSocksAuthError, ENetSocksError, "Authentication error to socks server.");
VM_NET_EXCEPTION(ENetSocksServerGeneralError, ENetSocksError, "General SOCKS server failure.");
VM_NET_EXCEPTION(ENetSocksServerPermissionError, ENetSocksError,
                 "Connection not allowed by ruleset.");
VM_NET_EXCEPTION(ENetSocksServerNetUnreachableError, ENetSocksError, "Network unreachable.");
VM_NET_EXCEPTION(ENetSocksServerHostUnreachableError, ENetSocksError, "Host unreachable.");
VM_NET_EXCEPTION(ENetSocksServerConnectionRefusedError, ENetSocksError, "Connection refused.");
VM_NET_EXCEPTION(ENetSocksServerTTLExpiredError, ENetSocksError, "TTL expired.");
VM_NET_EXCEPTION(ENetSocksServerCommandError, ENetSocksError, "Command not supported.");
VM_NET_EXCEPTION(ENetSocksServerAddressError, ENetSocksError, "Address type not supported.");

#undef VM_NET_EXCEPTION
#undef VM_NET_EXCEPTION_BASE
