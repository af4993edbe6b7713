// TStringList (ordered lines) and the stream classes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// Ordered list of byte-string lines.
class TStringList {
 public:
  TStringList() = default;

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  // Index is 0-based; out of range raises Exception("List index out of bounds (%d)").
  const std::string& operator[](int index) const;
  std::string& operator[](int index);
  const std::string& Strings(int index) const { return (*this)[index]; }
  void SetString(int index, std::string s) { (*this)[index] = std::move(s); }

  int Add(std::string s);  // returns the new line's index
  void Insert(int index, std::string s);
  void Delete(int index);
  void Clear() { lines_.clear(); }
  // First line equal to s (case-insensitive, ASCII) or -1.
  int IndexOf(std::string_view s) const;

  // Name=Value helpers: the part before / after the first '=' of a line.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  // Value of the first line whose name equals `name` (case-insensitive); empty when none.
  std::string Values(std::string_view name) const;
  int IndexOfName(std::string_view name) const;

  // The lines joined, each followed by CR LF.
  std::string Text() const;
  // Replaces the lines by `text` split at CR LF, CR or LF; a final terminator adds no line.
  void SetText(std::string_view text);
  void AddStrings(const TStringList& other);

  std::vector<std::string>::const_iterator begin() const { return lines_.begin(); }
  std::vector<std::string>::const_iterator end() const { return lines_.end(); }

 private:
  std::vector<std::string> lines_;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// A byte stream with a position. Read/Write move the position and return the bytes moved.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // Writes all of s; raises Exception("Stream write error") when the stream takes less.
  void WriteString(std::string_view s);
  // Reads exactly count bytes or raises Exception("Stream read error").
  void ReadBuffer(void* buffer, int64_t count);
  // Copies `count` bytes from source's position (0: from its start, the whole stream).
  int64_t CopyFrom(TStream& source, int64_t count);
};

// Growable in-memory stream. Capacity grows geometrically; SetSize pulls the position back to
// the new end when it lay beyond it.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  void Clear() { data_.clear(); pos_ = 0; }

  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  // The whole contents as a string (independent of the position).
  std::string DataString() const { return data_; }
  // Reserves capacity without changing the size.
  void Reserve(int64_t capacity) { data_.reserve(static_cast<size_t>(capacity)); }

 private:
  std::string data_;
  int64_t pos_ = 0;
};
