#include "transport/NetTCPConnection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/StrUtils.h"

namespace {

// A size announced by the peer is never trusted as an allocation size: a stream is presized
// to at most this much and grows as bytes really arrive.
constexpr int64_t kMaxPresize = 4 << 20;

// Largest block handed to a single send or receive call.
constexpr int64_t kMaxIOBlock = 1 << 30;

// A read-only file as a stream, for SendFile.
class TFileReadStream : public TStream {
 public:
  explicit TFileReadStream(int fd) : fd_(fd) {}
  ~TFileReadStream() override { close(fd_); }
  int64_t Read(void* buffer, int64_t count) override {
    ssize_t n = read(fd_, buffer, static_cast<size_t>(std::min(count, kMaxIOBlock)));
    return n < 0 ? 0 : n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t r = lseek(fd_, offset, whence);
    return r < 0 ? 0 : r;
  }
  int64_t Size() const override {
    struct stat st;
    return fstat(fd_, &st) == 0 ? st.st_size : 0;
  }
  void SetSize(int64_t) override {}

 private:
  int fd_;
};

}  // namespace

// ---- TNetSimpleBuffer ------------------------------------------------------------------------

TNetSimpleBuffer::~TNetSimpleBuffer() { std::free(data_); }

void TNetSimpleBuffer::Grow(int64_t physical_size) {
  if (physical_size <= cap_) return;
  int64_t cap = std::max<int64_t>({physical_size, cap_ * 2, 256});
  char* p = static_cast<char*>(std::realloc(data_, static_cast<size_t>(cap)));
  if (!p) throw std::bad_alloc();
  data_ = p;
  cap_ = cap;
}

int64_t TNetSimpleBuffer::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= size_) return 0;
  int64_t n = std::min(count, size_ - pos_);
  std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TNetSimpleBuffer::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = pos_ + count;
  Grow(end);
  std::memcpy(data_ + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  if (end > size_) size_ = end;
  return count;
}

int64_t TNetSimpleBuffer::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? Offset() : origin == soCurrent ? pos_ : size_;
  int64_t p = base + offset;
  pos_ = p < Offset() ? Offset() : p;
  return pos_ - Offset();
}

void TNetSimpleBuffer::SetSize(int64_t size) {
  int64_t physical = Offset() + std::max<int64_t>(size, 0);
  Grow(physical);
  if (physical > size_) std::memset(data_ + size_, 0, static_cast<size_t>(physical - size_));
  size_ = physical;
  if (pos_ > size_) pos_ = size_;
}

std::string TNetSimpleBuffer::Extract(int64_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  std::string s(Memory(), static_cast<size_t>(std::max<int64_t>(n, 0)));
  Remove(n);
  return s;
}

void TNetSimpleBuffer::Remove(int64_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  if (n <= 0) return;
  if (n == size_) {
    size_ = 0;
  } else {
    std::memmove(data_, data_ + n, static_cast<size_t>(size_ - n));
    size_ -= n;
  }
  pos_ = std::max<int64_t>(pos_ - n, 0);
  if (BytesRemoved) BytesRemoved(this, n);
}

void TNetSimpleBuffer::Clear() {
  size_ = 0;
  pos_ = 0;
}

void TNetSimpleBuffer::Append(const void* buffer, int64_t count) {
  if (count <= 0) return;
  std::memcpy(Reserve(count), buffer, static_cast<size_t>(count));
  size_ += count;
}

char* TNetSimpleBuffer::Reserve(int64_t count) {
  Grow(size_ + std::max<int64_t>(count, 0));
  return data_ + size_;
}

void TNetSimpleBuffer::Commit(int64_t count) {
  if (count > 0 && size_ + count <= cap_) size_ += count;
}

// ---- TNetManagedBuffer -----------------------------------------------------------------------

void TNetManagedBuffer::Remove(int64_t n) {
  if (n > Size()) throw ENetNotEnoughDataInBuffer();
  if (n <= 0) return;
  if (n == Size()) {
    size_ = 0;
    pos_ = 0;
    consumed_ = 0;
  } else {
    consumed_ += n;
    if (pos_ < consumed_) pos_ = consumed_;
    if (consumed_ >= compact_threshold_) Compact();
  }
  if (BytesRemoved) BytesRemoved(this, n);
}

void TNetManagedBuffer::Clear() {
  TNetSimpleBuffer::Clear();
  consumed_ = 0;
}

void TNetManagedBuffer::Compact() {
  if (consumed_ == 0) return;
  std::memmove(data_, data_ + consumed_, static_cast<size_t>(size_ - consumed_));
  size_ -= consumed_;
  pos_ -= consumed_;
  consumed_ = 0;
}

// ---- TNetRFCReply ----------------------------------------------------------------------------

void TNetRFCReply::SetNumericCode(int code) {
  numeric_code_ = code;
  if (code > 0) text_code_ = IntToStr(code);
}

void TNetRFCReply::SetTextCode(const std::string& code) {
  text_code_ = code;
  if (!code.empty()) numeric_code_ = StrToIntDef(code, 0);
}

void TNetRFCReply::Clear() {
  numeric_code_ = 0;
  text_.Clear();
  text_code_.clear();
}

// ---- TNetTCPConnection: state ----------------------------------------------------------------

TNetTCPConnection::TNetTCPConnection()
    : input_queue_(std::make_unique<TNetManagedBuffer>()),
      receive_chunk_(std::make_unique<TNetSimpleBuffer>()) {
  // Every byte taken out of the input queue counts as read progress.
  input_queue_->BytesRemoved = [this](TNetSimpleBuffer*, int64_t n) {
    ReportWork(wmRead, static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX)));
  };
}

TNetTCPConnection::~TNetTCPConnection() {
  try {
    DropSocket();
  } catch (...) {
    // Nothing escapes a destructor; the handler is freed below either way.
  }
  SetIntercept(nullptr);
  SetIOHandler(nullptr);
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* handler, bool owned) {
  if (handler == io_handler_) {
    if (handler && owned && !owned_io_handler_) owned_io_handler_.reset(handler);
    return;
  }
  if (io_handler_) RemoveFreeNotification(io_handler_);
  // Free an owned handler only after letting go of it, so no notification reaches us.
  std::unique_ptr<TNetIOHandler> old = std::move(owned_io_handler_);
  io_handler_ = handler;
  socket_ = dynamic_cast<TNetIOHandlerSocket*>(handler);
  if (handler) {
    FreeNotification(handler);
    if (owned) owned_io_handler_.reset(handler);
  }
  old.reset();
}

void TNetTCPConnection::SetIntercept(TNetConnectionIntercept* intercept) {
  if (intercept == intercept_) return;
  if (intercept_) RemoveFreeNotification(intercept_);
  intercept_ = intercept;
  if (intercept_) FreeNotification(intercept_);
}

void TNetTCPConnection::Notification(TComponent* component, TOperation operation) {
  TNetComponent::Notification(component, operation);
  if (operation != opRemove) return;
  if (io_handler_ && component == static_cast<TComponent*>(io_handler_)) {
    if (owned_io_handler_.get() == io_handler_) owned_io_handler_.release();  // already dying
    io_handler_ = nullptr;
    socket_ = nullptr;
  }
  if (intercept_ && component == static_cast<TComponent*>(intercept_)) intercept_ = nullptr;
}

bool TNetTCPConnection::IsConnected() const {
  // A closed peer counts as gone even before TestClosed has dropped the socket.
  return io_handler_ != nullptr && !peer_closed_ && io_handler_->Connected();
}

void TNetTCPConnection::TestClosed(bool raise, bool ignore_buffer) {
  if (!io_handler_) return;
  bool down;
  if (peer_closed_) {
    down = true;
    if (io_handler_->Connected()) {
      DropSocket();
      ReportStatus(hsDisconnected);
      FireDisconnected();
    }
  } else {
    down = !io_handler_->Connected();
  }
  if (down && raise && (input_queue_->Size() == 0 || ignore_buffer)) {
    throw ENetConnClosedGracefully();
  }
}

void TNetTCPConnection::ProbeClosed(bool raise) { FillInput(raise, 1, false); }

void TNetTCPConnection::DropSocket() {
  if (!io_handler_) return;
  peer_closed_ = true;
  if (intercept_) intercept_->Disconnect();
  if (io_handler_) io_handler_->Close();
}

void TNetTCPConnection::CloseConnection() {
  ReportStatus(hsDisconnecting);
  DropSocket();
  if (owned_io_handler_) SetIOHandler(nullptr);
  FireDisconnected();
  ReportStatus(hsDisconnected);
}

void TNetTCPConnection::ResetState() {
  input_queue_->Clear();
  peer_closed_ = false;
}

void TNetTCPConnection::FireDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

// ---- Reading ---------------------------------------------------------------------------------

int TNetTCPConnection::FillInput(bool raise_if_disconnected, int timeout, bool raise_on_timeout) {
  TestClosed(raise_if_disconnected, false);
  if (!IsConnected()) {
    if (raise_if_disconnected) throw ENetNotConnected();
    return 0;
  }
  const int64_t queued = input_queue_->Size();
  switch (Receive(ReadDeadline(timeout))) {
    case TNetReadResult::Data:
      return static_cast<int>(std::min<int64_t>(input_queue_->Size() - queued, INT_MAX));
    case TNetReadResult::Closed:
      TestClosed(raise_if_disconnected, false);
      return 0;
    case TNetReadResult::TimedOut:
      break;
  }
  if (raise_on_timeout) throw ENetReadTimeout();
  return -1;
}

TNetReadResult TNetTCPConnection::Receive(const TNetDeadline& deadline) {
  TNetStack& stack = *SharedStack();
  for (;;) {
    if (!io_handler_->Readable(deadline.WaitMs())) return TNetReadResult::TimedOut;
    const int want = recv_buffer_size_;
    char* target;
    if (intercept_) {
      receive_chunk_->SetSize(want);
      target = receive_chunk_->Memory();
    } else {
      // No intercept: receive straight into the tail of the input queue.
      target = input_queue_->Reserve(want);
    }
    int n = io_handler_->Recv(target, want);
    peer_closed_ = n == 0;
    if (n == -1) {
      stack.CheckResult(-1, {NetErrShutdown, NetErrConnAborted});  // raises any other error
      int err = stack.LastError();
      DropSocket();
      if (input_queue_->Size() == 0) stack.RaiseError(err);
      n = 0;  // an abort with bytes still queued ends the read like a close
    }
    if (n > 0) {
      if (intercept_) {
        receive_chunk_->SetSize(n);
        receive_chunk_->SetPosition(0);
        intercept_->Receive(*receive_chunk_);
        n = static_cast<int>(std::min<int64_t>(receive_chunk_->Size(), INT_MAX));
        // The intercept took the block whole: wait on for what is left of the time.
        if (n == 0) {
          if (deadline.Passed()) return TNetReadResult::TimedOut;
          continue;
        }
        target = input_queue_->Reserve(n);
        std::memcpy(target, receive_chunk_->Memory(), static_cast<size_t>(n));
      }
      if (ascii_filter_) {
        for (int i = 0; i < n; ++i) target[i] = static_cast<char>(target[i] & 0x7F);
      }
      input_queue_->Commit(n);
      return TNetReadResult::Data;
    }
    TestClosed(false, false);  // drops the socket and tells OnDisconnected
    return TNetReadResult::Closed;
  }
}

void TNetTCPConnection::ReadBytes(void* buffer, int n) {
  if (n <= 0) return;
  while (input_queue_->Size() < n) {
    FillInput(true, -1, true);
    TestClosed(true, true);
  }
  std::memcpy(buffer, input_queue_->Memory(), static_cast<size_t>(n));
  input_queue_->Remove(n);
}

int32_t TNetTCPConnection::ReadInt32(bool convert) {
  uint32_t v = 0;
  ReadBytes(&v, 4);
  return static_cast<int32_t>(convert ? TNetStack::NToHL(v) : v);
}

std::string TNetTCPConnection::ReadLine(const std::string& terminator, int timeout,
                                        int max_length) {
  if (max_length == -1) max_length = max_line_length_;
  const std::string_view term = terminator.empty() ? std::string_view("\n") : terminator;
  const bool line_feed = term == "\n";
  line_was_split_ = false;
  line_timed_out_ = false;

  // Bytes already searched in an earlier pass; the next pass backs up by the terminator's
  // length minus one so that a terminator split over two receives is found.
  int64_t searched = 0;
  for (;;) {
    const char* data = input_queue_->Memory();
    const int64_t size = input_queue_->Size();
    int64_t from = std::max<int64_t>(0, searched - static_cast<int64_t>(term.size() - 1));
    int64_t at = -1;
    if (size > from) {
      const void* hit =
          term.size() == 1
              ? std::memchr(data + from, term[0], static_cast<size_t>(size - from))
              : memmem(data + from, static_cast<size_t>(size - from), term.data(), term.size());
      if (hit) at = static_cast<const char*>(hit) - data;
    }
    searched = size;

    if (max_length != 0 && ((at >= 0 && at > max_length) || (at < 0 && size > max_length))) {
      if (max_line_action_ == maException) throw ENetReadLnMaxLineLengthExceeded();
      line_was_split_ = true;
      return input_queue_->Extract(max_length);
    }
    if (at >= 0) {
      size_t length = static_cast<size_t>(at);
      if (line_feed && length > 0 && data[length - 1] == '\r') --length;
      std::string line(data, length);
      input_queue_->Remove(at + static_cast<int64_t>(term.size()));
      return line;
    }
    TestClosed(true, true);
    if (FillInput(true, timeout, timeout == kNetUseReadTimeout) <= 0) {
      line_timed_out_ = true;  // the peer closed, or the explicit time-out expired
      return std::string();
    }
  }
}

std::string TNetTCPConnection::ReadNonEmptyLine(int attempts) {
  for (int i = 0; i < attempts; ++i) {
    std::string line = Trim(ReadLine());
    if (!line.empty()) return line;
  }
  return std::string();
}

void TNetTCPConnection::ReadToStream(TStream& stream, int64_t count, bool until_close) {
  if (count == -1 && !until_close) count = ReadInt32(true);
  if (count >= 0) {
    // Presize once for a known length, but never by more than a sane cap: the count came from
    // the peer. Beyond the cap the stream grows as bytes arrive.
    int64_t pos = stream.Position();
    int64_t want = pos + std::min(count, kMaxPresize);
    if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
      memory->Reserve(want);
    } else if (want > stream.Size()) {
      stream.SetSize(want);
      stream.SetPosition(pos);
    }
  }
  int64_t remaining;
  if (until_close) {
    remaining = 2147483647;
    StartWork(wmRead, 0);
  } else {
    remaining = count;
    StartWork(wmRead, static_cast<int32_t>(std::clamp<int64_t>(count, 0, INT32_MAX)));
  }

  // Moves what is queued (up to what is still wanted) into the stream.
  auto drain = [&] {
    int64_t take = std::min(input_queue_->Size(), remaining);
    if (take <= 0) return;
    int64_t written = stream.Write(input_queue_->Memory(), take);
    if (written != take) throw Exception("Stream write error");
    input_queue_->Remove(take);
    remaining -= take;
  };

  auto finish = [&] {
    FinishWork(wmRead);
    int64_t pos = stream.Position();
    if (stream.Size() > pos) stream.SetSize(pos);
  };

  try {
    drain();
    while (remaining > 0 && IsConnected()) {
      if (input_queue_->Size() == 0) FillInput(true, -1, true);
      drain();
    }
    // Every byte that arrived is in the stream now; a count that the close cut short is still
    // an error.
    if (remaining > 0 && !until_close) throw ENetConnClosedGracefully();
  } catch (const ENetConnClosedGracefully&) {
    try {
      drain();
    } catch (...) {
      finish();
      throw;
    }
    if (!until_close) {
      finish();
      throw;
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

std::string TNetTCPConnection::TakeAvailable() {
  if (IsConnected()) FillInput(false, -1, true);
  return input_queue_->Extract(input_queue_->Size());
}

std::string TNetTCPConnection::ReadAll() {
  std::string all;
  StartWork(wmRead, 0);
  try {
    while (IsConnected()) all += TakeAvailable();
    // Bytes that arrived together with the close are part of the answer too.
    all += input_queue_->Extract(input_queue_->Size());
  } catch (...) {
    FinishWork(wmRead);
    throw;
  }
  FinishWork(wmRead);
  return all;
}

// ---- Writing ---------------------------------------------------------------------------------

void TNetTCPConnection::WriteBytes(const void* buffer, int n, bool write_now) {
  if (n <= 0) return;
  TestClosed(true, true);
  if (!IsConnected()) throw ENetNotConnected();
  if (output_queue_ && !write_now) {
    output_queue_->Append(buffer, n);
    if (flush_threshold_ > 0 && output_queue_->Size() >= flush_threshold_) {
      FlushOutput(flush_threshold_);
    }
    return;
  }
  SendNow(static_cast<const char*>(buffer), n);
}

void TNetTCPConnection::SendNow(const char* data, int n) {
  TNetSimpleBuffer scratch;
  if (intercept_) {
    scratch.Write(data, n);
    scratch.SetPosition(0);
    intercept_->Send(scratch);
    data = scratch.Memory();
    n = static_cast<int>(std::min<int64_t>(scratch.Size(), INT_MAX));
  }
  TNetStack& stack = *SharedStack();
  int offset = 0;
  while (offset < n) {
    if (!io_handler_) throw ENetNotConnected();
    int s = io_handler_->Send(data + offset, n - offset);
    AntiFreezeProcess(false);
    peer_closed_ = s == 0;
    TestClosed(true, false);
    if (s == -1) {
      if (stack.CheckResult(-1, {NetErrShutdown, NetErrConnAborted, NetErrConnReset})) {
        int err = stack.LastError();
        DropSocket();
        stack.RaiseError(err);
      }
    }
    ReportWork(wmWrite, s);
    offset += s;
  }
}

void TNetTCPConnection::WriteText(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    int n = static_cast<int>(std::min<size_t>(text.size() - done, kMaxIOBlock));
    WriteBytes(text.data() + done, n);
    done += static_cast<size_t>(n);
  }
}

void TNetTCPConnection::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TNetTCPConnection::WriteInt32(int32_t value, bool convert) {
  uint32_t v = static_cast<uint32_t>(value);
  if (convert) v = TNetStack::HToNL(v);
  WriteBytes(&v, 4);
}

void TNetTCPConnection::WriteFromStream(TStream& stream, bool from_start, int64_t size,
                                        bool size_prefix) {
  if (from_start) stream.SetPosition(0);
  int64_t pos = stream.Position();
  int64_t end = size != 0 ? pos + size : stream.Size();
  int64_t total = std::max<int64_t>(end - pos, 0);
  if (size_prefix) WriteInt32(static_cast<int32_t>(total), true);
  StartWork(wmWrite, static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX)));
  try {
    std::string block(static_cast<size_t>(std::min<int64_t>(total, send_buffer_size_)), '\0');
    while (pos < end) {
      int64_t want = std::min<int64_t>(end - pos, static_cast<int64_t>(block.size()));
      int64_t got = stream.Read(block.data(), want);
      if (got <= 0) throw ENetNoDataToRead();
      WriteBytes(block.data(), static_cast<int>(got));
      pos += got;
    }
  } catch (...) {
    FinishWork(wmWrite);
    throw;
  }
  FinishWork(wmWrite);
}

int64_t TNetTCPConnection::SendFile(const std::string& file_name, bool allow_platform) {
  struct stat st;
  if (file_name.find('\0') != std::string::npos || stat(file_name.c_str(), &st) != 0 ||
      S_ISDIR(st.st_mode)) {
    throw ENetFileNotFound(file_name);
  }
  int fd = open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ENetFileNotFound(file_name);
  TFileReadStream file(fd);
  int64_t size = file.Size();
  WriteFromStream(file, true, 0, false);
  return size;
}

void TNetTCPConnection::BeginWriteBuffering(int threshold) {
  output_queue_ = std::make_unique<TNetSimpleBuffer>();
  flush_threshold_ = threshold;
}

void TNetTCPConnection::FlushOutput(int count) {
  if (!output_queue_ || output_queue_->Size() == 0) return;
  if (count != -1 && output_queue_->Size() >= count) {
    WriteBytes(output_queue_->Memory(), count, true);
    output_queue_->Remove(count);
  } else {
    WriteBytes(output_queue_->Memory(), static_cast<int>(output_queue_->Size()), true);
    output_queue_->Clear();
  }
}

void TNetTCPConnection::EndWriteBuffering() {
  try {
    FlushOutput(-1);
  } catch (...) {
    output_queue_.reset();
    throw;
  }
  output_queue_.reset();
}

void TNetTCPConnection::DiscardOutput() {
  if (output_queue_) output_queue_->Clear();
}

// ---- Line-protocol replies -------------------------------------------------------------------

int TNetTCPConnection::SendCommand(const std::string& line, const std::vector<int>& allowed) {
  WriteLine(line);
  return ReadReply(allowed);
}

int TNetTCPConnection::ReadReply(const std::vector<int>& allowed) {
  ReadReplyLines(last_cmd_result_);
  CheckReplyCode(last_cmd_result_.NumericCode(), allowed);
  return last_cmd_result_.NumericCode();
}

void TNetTCPConnection::ReadReplyLines(TNetRFCReply& reply) {
  reply.Clear();
  std::string line = ReadNonEmptyLine(2147483647);
  std::string code = Trim(line.substr(0, 4));
  if (!code.empty() && code.back() == '-') code.pop_back();
  reply.Text().Add(line.size() > 4 ? line.substr(4) : std::string());
  if (line.size() > 3 && line[3] == '-') {
    const std::string end_marker = line.substr(0, 3) + " ";
    for (;;) {
      line = ReadNonEmptyLine(2147483647);
      reply.Text().Add(line.size() > 4 ? line.substr(4) : std::string());
      if (line.size() < 4 || SameText(line.substr(0, 4), end_marker)) break;
    }
  }
  reply.SetTextCode(code);
}

void TNetTCPConnection::CheckReplyCode(int code, const std::vector<int>& allowed) {
  if (allowed.empty()) return;
  if (std::find(allowed.begin(), allowed.end(), code) == allowed.end()) RaiseReplyError();
}

void TNetTCPConnection::RaiseReplyError() {
  throw ENetProtocolReplyError(last_cmd_result_.NumericCode(), last_cmd_result_.Text().Text());
}

void TNetTCPConnection::RaiseReplyErrorAs(
    const std::function<void(const std::string& message)>& raise) {
  if (raise) raise(last_cmd_result_.Text().Text());
  throw ENetProtocolReplyError(last_cmd_result_.NumericCode(), last_cmd_result_.Text().Text());
}
