// TNetDeadline: the moment a wait has to end by, or none. The read and connect operations take
// their time-outs as milliseconds with a few special values; they turn them into a deadline once,
// where they are called, and everything below works with the deadline: a wait that is resumed
// (after a signal, a step of the anti-freeze hook, bytes an intercept swallowed) waits only for
// what is left, and two limits combine by taking the sooner.
//
// Thread-safety: a value type; any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

// The special values of the millisecond time-outs that the read, connect and wait operations
// take. A read: kNetUseReadTimeout is the connection's ReadTimeout (whose own 0 is no limit),
// kNetNoTimeout no limit, 0 only what is already there. A connect or handshake: any value up to
// 0 (these two and 0) is no limit. A single wait (the socket layer): kNetNoTimeout, or any other
// negative value, is no limit.
inline constexpr int kNetUseReadTimeout = -1;
inline constexpr int kNetNoTimeout = -2;

class TNetDeadline {
 public:
  using TClock = std::chrono::steady_clock;

  // No limit.
  TNetDeadline() = default;
  static TNetDeadline Never() { return TNetDeadline(); }
  // `ms` from now; 0 (or less) is now: a wait only takes what is already there.
  static TNetDeadline In(int64_t ms) {
    return TNetDeadline(TClock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0)));
  }
  // A single wait's milliseconds, as WaitMs gives them: kNetNoTimeout (any negative) is no
  // limit.
  static TNetDeadline ForWait(int ms) { return ms < 0 ? Never() : In(ms); }
  // A read's time-out: kNetUseReadTimeout stands for `read_timeout`, where 0 is no limit;
  // otherwise as ForWait (so an explicit 0 only takes what is already there).
  static TNetDeadline ForRead(int timeout, int read_timeout) {
    if (timeout == kNetUseReadTimeout) return read_timeout == 0 ? Never() : ForWait(read_timeout);
    return ForWait(timeout);
  }
  // A connect's or a handshake's time-out: above 0 a limit; 0 or less no limit.
  static TNetDeadline ForConnect(int timeout) { return timeout > 0 ? In(timeout) : Never(); }

  bool Limited() const { return limited_; }
  bool Passed() const { return limited_ && TClock::now() >= at_; }
  // What is left for one wait, in the socket layer's terms: kNetNoTimeout when there is no
  // limit, else the milliseconds left, rounded up so a wait never ends before the deadline (0
  // once it passed).
  int WaitMs() const {
    if (!limited_) return kNetNoTimeout;
    const auto left = at_ - TClock::now();
    if (left <= TClock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
  }
  // Calls wait(ms), which gives true when what it waits for happened, in steps of at most
  // `step` ms until that happens (true) or the deadline passes (false).
  template <typename Wait>
  bool WaitInSteps(int step, Wait wait) const {
    for (;;) {
      const int left = WaitMs();
      if (wait(left == kNetNoTimeout ? step : std::min(step, left))) return true;
      if (Passed()) return false;
    }
  }
  // The sooner of the two.
  TNetDeadline Sooner(const TNetDeadline& other) const {
    if (!other.limited_) return *this;
    if (!limited_) return other;
    return at_ <= other.at_ ? *this : other;
  }

 private:
  explicit TNetDeadline(TClock::time_point at) : limited_(true), at_(at) {}

  bool limited_ = false;
  TClock::time_point at_{};
};
