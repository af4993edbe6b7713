// The base of every exception the toolbox raises: a message text, nothing else.
// Subsystems derive their own trees from it (ENetException, ERegexError, ...).
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  // The message text exactly as raised (bytes, GBK where it holds Chinese).
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};
