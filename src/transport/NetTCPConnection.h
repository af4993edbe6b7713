// TNetTCPConnection: the byte-stream connection under the HTTP exchange. It keeps received but
// unread bytes in an input buffer, offers blocking reads of lines, exact counts and whole
// bodies (by size or up to the close) bounded by a read time-out, writes text, lines, blocks
// and streams with optional write buffering, turns a peer's close into
// ENetConnClosedGracefully, and reports progress through the work events.
//
// Also here: the byte buffers it uses (TNetSimpleBuffer, TNetManagedBuffer) and the reply
// record of line protocols (TNetRFCReply).
//
// Thread-safety: a connection, its buffers and its I/O handler are used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Classes.h"
#include "transport/NetComponent.h"
#include "transport/NetDeadline.h"
#include "transport/NetIOHandlerSocket.h"

// A growable in-memory byte stream that can drop bytes from its front.
class TNetSimpleBuffer : public TStream {
 public:
  TNetSimpleBuffer() = default;
  ~TNetSimpleBuffer() override;
  TNetSimpleBuffer(const TNetSimpleBuffer&) = delete;
  TNetSimpleBuffer& operator=(const TNetSimpleBuffer&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return size_ - consumed_; }
  void SetSize(int64_t size) override;

  // The first unread byte (valid until the next change).
  char* Memory() { return data_ + Offset(); }
  const char* Memory() const { return data_ + Offset(); }
  // The first n bytes as text, then Remove(n).
  std::string Extract(int64_t n);
  // Drops the first n bytes; more than Size() raises ENetNotEnoughDataInBuffer (unchanged).
  // Then BytesRemoved(this, n).
  virtual void Remove(int64_t n);
  // Empties the buffer (no callback).
  virtual void Clear();
  // Appends at the end, whatever the position (the position is kept).
  void Append(const void* buffer, int64_t count);
  // Makes room for `count` more bytes at the end and gives where they go; Commit(k) then adds
  // the first k of them (k <= count) to the contents.
  char* Reserve(int64_t count);
  void Commit(int64_t count);

  std::function<void(TNetSimpleBuffer* sender, int64_t count)> BytesRemoved;

 protected:
  // Bytes at the front of the storage that no longer belong to the contents.
  int64_t Offset() const { return consumed_; }
  // Physical storage: size_ bytes in data_ (capacity cap_), position pos_ (physical, never
  // below Offset()). consumed_ stays 0 here; TNetManagedBuffer defers removals with it.
  void Grow(int64_t physical_size);
  char* data_ = nullptr;
  int64_t size_ = 0;
  int64_t cap_ = 0;
  int64_t pos_ = 0;
  int64_t consumed_ = 0;
};

// An input buffer that does not move memory on every removal: consumed bytes pile up at the
// front until CompactThreshold of them are reached, then the rest moves down once.
class TNetManagedBuffer final : public TNetSimpleBuffer {
 public:
  // Positions and sizes are those of the unread bytes; Memory() is the first unread byte.
  void Remove(int64_t n) override;
  void Clear() override;

  int64_t ConsumedCount() const { return consumed_; }
  int64_t CompactThreshold() const { return compact_threshold_; }
  void SetCompactThreshold(int64_t n) { compact_threshold_ = n; }
  // Moves the unread bytes to the front now.
  void Compact();

 private:
  int64_t compact_threshold_ = 32768;
};

// One reply of a line protocol: a numeric code, its text form and the text lines.
class TNetRFCReply {
 public:
  int NumericCode() const { return numeric_code_; }
  // A code above 0 also sets TextCode to its decimal text.
  void SetNumericCode(int code);
  const TStringList& Text() const { return text_; }
  TStringList& Text() { return text_; }
  const std::string& TextCode() const { return text_code_; }
  // A non-empty text also sets NumericCode to its value (0 when it is not a number).
  void SetTextCode(const std::string& code);
  // Code 0, no lines, empty text code.
  void Clear();

 private:
  int numeric_code_ = 0;
  TStringList text_;
  std::string text_code_;
};

enum TNetMaxLineAction { maException, maSplit };

// What one receive came to: bytes added to the input queue, the peer's close (the socket is
// dropped by then), or the deadline passing with nothing new.
enum class TNetReadResult { Data, Closed, TimedOut };

using TNotifyEvent = std::function<void(TNetComponent* Sender)>;

class TNetTCPConnection : public TNetComponent {
 public:
  TNetTCPConnection();
  // Drops the socket and frees an owned I/O handler, the buffers and the replies.
  ~TNetTCPConnection() override;

  // ---- Connection state ----
  // Whether the I/O handler is connected and the peer has not closed; false without a handler.
  // Reads only: TestClosed is what acts on a close.
  virtual bool IsConnected() const;
  // Notices a link that is down (dropping the socket and firing OnDisconnected the first time);
  // raises ENetConnClosedGracefully when `raise` and (the queue is empty or ignore_buffer).
  virtual void TestClosed(bool raise = true, bool ignore_buffer = false);
  // One FillInput with a 1 ms wait and no time-out error: learns of a close already made.
  virtual void ProbeClosed(bool raise = true);
  // Marks the peer closed, disconnects the intercept, closes the I/O handler. No events.
  virtual void DropSocket();
  // Status hsDisconnecting, DropSocket, frees an owned handler, OnDisconnected, hsDisconnected.
  virtual void CloseConnection();
  // Empties the input queue and clears PeerClosed.
  virtual void ResetState();

  // ---- Reading ----
  // Time-outs here are milliseconds: -1 = ReadTimeout, -2 = no limit, 0 = only what is there.
  // Each wait for bytes turns the time-out into a deadline once and reads through Receive; the
  // results an operation gives and the exceptions it raises are mapped from Receive's in one
  // place each.
  //
  // Receives once into the input queue: the count, 0 when the peer closed, -1 when the wait
  // expired and raise_on_timeout is false (ENetReadTimeout when it is true). A link already down
  // raises (ENetConnClosedGracefully with nothing queued, else ENetNotConnected) when
  // raise_if_disconnected, else gives 0.
  virtual int FillInput(bool raise_if_disconnected = true, int timeout = kNetUseReadTimeout,
                        bool raise_on_timeout = true);
  // Copies exactly n bytes out of the queue, reading as needed.
  void ReadBytes(void* buffer, int n);
  int32_t ReadInt32(bool convert = true);
  // One line without its terminator (empty = LF; a CR before an LF terminator is dropped too).
  // With timeout -1 a silent peer raises ENetReadTimeout; an explicit time-out that expires, or
  // a close, gives an empty line with LineTimedOut set. Each wait for more bytes has the whole
  // time-out. max_length -1 = MaxLineLength, 0 = no limit.
  virtual std::string ReadLine(const std::string& terminator = "\n",
                               int timeout = kNetUseReadTimeout,
                               int max_length = -1);
  // The first line that is not empty after trimming, within `attempts` lines; else empty.
  std::string ReadNonEmptyLine(int attempts = 2147483647);
  // Reads `count` bytes into the stream (-1 with until_close false: a 4-byte network-order
  // count first), or everything up to the close with until_close. A close before the count
  // raises ENetConnClosedGracefully after every received byte went into the stream.
  void ReadToStream(TStream& stream, int64_t count = -1, bool until_close = false);
  // One receive when connected, then the whole queue.
  std::string TakeAvailable();
  // Everything up to the close.
  virtual std::string ReadAll();

  // ---- Writing ----
  // Sends (or buffers) n bytes; write_now bypasses the output queue.
  void WriteBytes(const void* buffer, int n, bool write_now = false);
  virtual void WriteText(const std::string& text);
  // The text followed by CR LF.
  virtual void WriteLine(const std::string& text);
  void WriteInt32(int32_t value, bool convert = true);
  // Sends the stream from its position (rewound with from_start) up to position + size (size 0:
  // its end), with a 4-byte count first when size_prefix. A stream that runs dry raises
  // ENetNoDataToRead.
  virtual void WriteFromStream(TStream& stream, bool from_start = true, int64_t size = 0,
                               bool size_prefix = false);
  // Sends a file; ENetFileNotFound when it does not exist. Gives the byte count.
  virtual int64_t SendFile(const std::string& file_name, bool allow_platform = true);
  // Collects writes until FlushOutput/EndWriteBuffering; a threshold > 0 flushes
  // automatically when that many bytes are queued.
  void BeginWriteBuffering(int threshold = -1);
  // Sends the first `count` queued bytes (-1 or more than queued: all of them).
  void FlushOutput(int count = -1);
  // Flushes and stops buffering (stops also when the flush raises).
  void EndWriteBuffering();
  // Drops what is queued without sending.
  void DiscardOutput();
  bool WriteBuffering() const { return output_queue_ != nullptr; }

  // ---- Line-protocol replies ----
  // WriteLine, then ReadReply.
  virtual int SendCommand(const std::string& line, const std::vector<int>& allowed = {});
  // Reads a (multi-line) reply into LastCmdResult and checks its code; gives the code.
  virtual int ReadReply(const std::vector<int>& allowed = {});
  // Raises ENetProtocolReplyError unless `allowed` is empty or holds `code`.
  virtual void CheckReplyCode(int code, const std::vector<int>& allowed);
  // Raises the last reply as ENetProtocolReplyError.
  [[noreturn]] virtual void RaiseReplyError();
  // Hands the last reply's text to `raise`, which throws the exception of its choice.
  [[noreturn]] virtual void RaiseReplyErrorAs(
      const std::function<void(const std::string& message)>& raise);
  TNetRFCReply& Greeting() { return greeting_; }
  TNetRFCReply& LastCmdResult() { return last_cmd_result_; }

  // ---- Properties ----
  bool ASCIIFilter() const { return ascii_filter_; }
  void SetASCIIFilter(bool on) { ascii_filter_ = on; }
  TNetConnectionIntercept* Intercept() const { return intercept_; }
  // Not owned; forgotten when it is destroyed.
  void SetIntercept(TNetConnectionIntercept* intercept);
  TNetIOHandler* IOHandler() const { return io_handler_; }
  // Frees a previously owned handler first. With `owned`, the connection frees this one.
  void SetIOHandler(TNetIOHandler* handler, bool owned = false);
  bool OwnsIOHandler() const { return owned_io_handler_ != nullptr; }
  // The handler as a socket handler, or null.
  TNetIOHandlerSocket* Socket() const { return socket_; }
  int MaxLineLength() const { return max_line_length_; }
  void SetMaxLineLength(int n) { max_line_length_ = n; }
  TNetMaxLineAction MaxLineAction() const { return max_line_action_; }
  void SetMaxLineAction(TNetMaxLineAction a) { max_line_action_ = a; }
  int ReadTimeout() const { return read_timeout_; }
  void SetReadTimeout(int ms) { read_timeout_ = ms; }
  int RecvBufferSize() const { return recv_buffer_size_; }
  void SetRecvBufferSize(int n) { recv_buffer_size_ = n > 0 ? n : 1; }
  int SendBufferSize() const { return send_buffer_size_; }
  void SetSendBufferSize(int n) { send_buffer_size_ = n > 0 ? n : 1; }
  bool PeerClosed() const { return peer_closed_; }
  bool LineWasSplit() const { return line_was_split_; }
  bool LineTimedOut() const { return line_timed_out_; }
  TNetManagedBuffer& InputQueue() { return *input_queue_; }
  TNetSimpleBuffer* OutputQueue() const { return output_queue_.get(); }
  int FlushThreshold() const { return flush_threshold_; }

  TNotifyEvent OnDisconnected;

 protected:
  // Fires OnDisconnected; subclasses add to the disconnect notification here.
  virtual void FireDisconnected();
  void Notification(TComponent* component, TOperation operation) override;
  // Sends the whole block through the intercept and the handler.
  void SendNow(const char* data, int n);
  // The one receive every read goes through: waits until bytes arrive (Data, at least one byte
  // queued after the intercept and the ASCII filter), the peer closes (Closed, the socket
  // dropped and OnDisconnected fired) or `deadline` passes (TimedOut). The link must be up.
  // A socket error raises, unless bytes are still queued: then the read ends as Closed.
  virtual TNetReadResult Receive(const TNetDeadline& deadline);
  // A read's time-out as a deadline from now (see FillInput).
  TNetDeadline ReadDeadline(int timeout) const {
    return TNetDeadline::ForRead(timeout, read_timeout_);
  }

  bool peer_closed_ = false;

 private:
  // Reads a multi-line reply into `reply`.
  void ReadReplyLines(TNetRFCReply& reply);

  std::unique_ptr<TNetManagedBuffer> input_queue_;
  std::unique_ptr<TNetSimpleBuffer> receive_chunk_;
  std::unique_ptr<TNetSimpleBuffer> output_queue_;
  int flush_threshold_ = -1;

  TNetIOHandler* io_handler_ = nullptr;
  std::unique_ptr<TNetIOHandler> owned_io_handler_;
  TNetIOHandlerSocket* socket_ = nullptr;
  TNetConnectionIntercept* intercept_ = nullptr;

  bool ascii_filter_ = false;
  int max_line_length_ = 16384;
  TNetMaxLineAction max_line_action_ = maException;
  int read_timeout_ = 0;
  int recv_buffer_size_ = 32768;
  int send_buffer_size_ = 32768;
  bool line_was_split_ = false;
  bool line_timed_out_ = false;

  TNetRFCReply greeting_;
  TNetRFCReply last_cmd_result_;
};
