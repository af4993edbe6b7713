#include "transport/NetStack.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "runtime/StrUtils.h"
#include "transport/NetStackPosix.h"

namespace {

// What CheckResult recorded last, per thread: one worker's failure is never reported with
// another worker's code.
thread_local int t_checked_error = 0;

struct ErrorEntry {
  int code;
  const char* text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {11001, "Host not found."},
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

// Decimal 0..255 only: no sign, no hex, no blanks (an address text never holds them, and the
// platform would read such a text differently from us).
bool ReadOctet(std::string_view part, int& value) {
  if (part.empty() || part.size() > 10) return false;
  int v = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 255) return false;
  }
  value = v;
  return true;
}

// The process-wide critical section and live count. Never destroyed: a component may still be
// freed by a worker thread while the process runs its exit handlers.
std::mutex& StackLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
int g_component_count = 0;  // guarded by StackLock()
std::atomic<TNetStack*> g_shared_stack{nullptr};

}  // namespace

// ---- TNetSocketList -------------------------------------------------------------------------

void TNetSocketList::Add(TNetStackSocketHandle handle) {
  if (Contains(handle)) return;
  if (count_ >= kMaxSockets) throw ENetStackSetSizeExceeded();
  handles_[count_++] = handle;
}

void TNetSocketList::Remove(TNetStackSocketHandle handle) {
  for (int i = 0; i < count_; ++i) {
    if (handles_[i] == handle) {
      handles_[i] = handles_[count_ - 1];
      --count_;
      return;
    }
  }
}

bool TNetSocketList::Contains(TNetStackSocketHandle handle) const {
  return std::find(handles_.begin(), handles_.begin() + count_, handle) !=
         handles_.begin() + count_;
}

TNetStackSocketHandle TNetSocketList::Items(int index) const {
  if (index < 0 || index >= count_) throw ENetStackSetSizeExceeded();
  return handles_[index];
}

// ---- TNetStack ------------------------------------------------------------------------------

std::string TNetStack::LookupHost(const std::string& host) {
  if (SameText(host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedQuad(host)) return host;
  std::string ip = ResolveHost(host);
  if (ip.empty()) CheckResult(-1);
  return ip;
}

bool TNetStack::IsDottedQuad(const std::string& text) {
  std::string_view rest(text);
  for (int i = 0; i < 4; ++i) {
    std::string_view part = rest;
    if (i < 3) {
      size_t dot = rest.find('.');
      if (dot == std::string_view::npos) return false;
      part = rest.substr(0, dot);
      rest.remove_prefix(dot + 1);
    }
    int value;
    if (!ReadOctet(part, value)) return false;
  }
  return true;
}

TNetIPv4Bytes TNetStack::ParseAddress(const std::string& text) {
  TNetIPv4Bytes bytes{};
  std::string_view rest(text);
  for (int i = 0; i < 4; ++i) {
    size_t dot = rest.find('.');
    std::string_view part = rest.substr(0, dot);
    rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    int32_t value;
    if (!TryStrToInt(part, value)) {
      throw Exception("'" + std::string(part) + "' is not a valid integer value");
    }
    bytes[i] = static_cast<uint8_t>(value);
  }
  return bytes;
}

std::string TNetStack::FormatAddress(const TNetIPv4Bytes& address) {
  return Format("%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

TStringList TNetStack::LocalAddressList() {
  TStringList list = ResolveAll(HostName());
  if (list.Empty()) CheckResult(-1);
  return list;
}

int TNetStack::ServicePort(const std::string& name) {
  int port = LookupServicePort(name);
  if (port >= 0) return port;
  int32_t value;
  if (TryStrToInt(name, value)) return value;
  throw ENetInvalidServiceName(name);
}

TStringList TNetStack::ServiceNames(int port) { return LookupServiceNames(port); }

TNetStackSocketHandle TNetStack::NewSocket(int type, int protocol, int family) {
  TNetStackSocketHandle handle = Socket(family, type, protocol);
  if (handle == NetInvalidSocket) throw ENetInvalidSocket();
  return handle;
}

bool TNetStack::CheckResult(int result, std::initializer_list<int> ignore) {
  if (result != -1) return false;
  t_checked_error = PlatformLastError();
  if (std::find(ignore.begin(), ignore.end(), t_checked_error) != ignore.end()) return true;
  RaiseError(t_checked_error);
}

void TNetStack::RaiseError(int code) { throw ENetSocketError(code, ErrorText(code)); }

std::string TNetStack::ErrorText(int code) {
  const char* text = "";
  for (const ErrorEntry& e : kErrorTexts) {
    if (e.code == code) {
      text = e.text;
      break;
    }
  }
  return Format("Socket Error # %d\r\n%s", code, text);
}

int TNetStack::LastError() const { return t_checked_error; }

uint16_t TNetStack::HToNS(uint16_t v) { return htons(v); }
uint16_t TNetStack::NToHS(uint16_t v) { return ntohs(v); }
uint32_t TNetStack::HToNL(uint32_t v) { return htonl(v); }
uint32_t TNetStack::NToHL(uint32_t v) { return ntohl(v); }

// ---- The shared instance --------------------------------------------------------------------

TNetStack* SharedStack() { return g_shared_stack.load(std::memory_order_acquire); }

void NetStackAddRef() {
  std::lock_guard<std::mutex> lock(StackLock());
  if (g_component_count == 0) g_shared_stack.store(new TNetStackPosix, std::memory_order_release);
  ++g_component_count;
}

void NetStackRelease() {
  std::lock_guard<std::mutex> lock(StackLock());
  if (g_component_count <= 0) return;
  if (--g_component_count == 0) delete g_shared_stack.exchange(nullptr);
}
