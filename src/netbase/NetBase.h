// The two roots every network unit shares, from the URI and cookie texts up to the transport:
// the exception every network failure derives from, and the component base that takes part in
// free notification. They sit below the transport so that the text layers need nothing of it.
#pragma once

#include <string>

#include "runtime/Component.h"
#include "runtime/Exception.h"

// Every failure of the network layers (transport, HTTP, cookies) is an ENetException. Plain
// values: safe to copy and to throw across threads.
class ENetException : public Exception {
 public:
  explicit ENetException(std::string message) : Exception(std::move(message)) {}
};

// Base of the network classes that take part in free notification.
class TNetBaseComponent : public TComponent {};
