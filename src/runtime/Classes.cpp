#include "runtime/Classes.h"

#include <algorithm>
#include <cstring>

#include "runtime/StrUtils.h"

static void CheckIndex(int index, size_t count) {
  if (index < 0 || static_cast<size_t>(index) >= count)
    throw Exception(Format("List index out of bounds (%d)", index));
}

const std::string& TStringList::operator[](int index) const {
  CheckIndex(index, lines_.size());
  return lines_[static_cast<size_t>(index)];
}

std::string& TStringList::operator[](int index) {
  CheckIndex(index, lines_.size());
  return lines_[static_cast<size_t>(index)];
}

int TStringList::Add(std::string s) {
  lines_.push_back(std::move(s));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string s) {
  if (index < 0 || index > Count()) throw Exception(Format("List index out of bounds (%d)", index));
  lines_.insert(lines_.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  CheckIndex(index, lines_.size());
  lines_.erase(lines_.begin() + index);
}

int TStringList::IndexOf(std::string_view s) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (SameText(lines_[i], s)) return static_cast<int>(i);
  return -1;
}

std::string TStringList::Names(int index) const {
  const std::string& line = (*this)[index];
  size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = (*this)[index];
  size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    size_t eq = lines_[i].find('=');
    if (eq != std::string::npos && SameText(std::string_view(lines_[i]).substr(0, eq), name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

std::string TStringList::Text() const {
  size_t total = 0;
  for (const auto& l : lines_) total += l.size() + 2;
  std::string r;
  r.reserve(total);
  for (const auto& l : lines_) {
    r += l;
    r += "\r\n";
  }
  return r;
}

void TStringList::SetText(std::string_view text) {
  lines_.clear();
  size_t i = 0;
  while (i < text.size()) {
    size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    lines_.emplace_back(text.substr(i, j - i));
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
  }
}

void TStringList::AddStrings(const TStringList& other) {
  lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
}

void TStream::WriteString(std::string_view s) {
  if (s.empty()) return;
  if (Write(s.data(), static_cast<int64_t>(s.size())) != static_cast<int64_t>(s.size()))
    throw Exception("Stream write error");
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw Exception("Stream read error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  char buf[65536];
  int64_t done = 0;
  while (done < count) {
    int64_t n = std::min<int64_t>(sizeof buf, count - done);
    source.ReadBuffer(buf, n);
    if (Write(buf, n) != n) throw Exception("Stream write error");
    done += n;
  }
  return done;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= Size()) return 0;
  int64_t n = std::min(count, Size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = pos_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : Size();
  int64_t p = base + offset;
  pos_ = p < 0 ? 0 : p;
  return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  data_.resize(static_cast<size_t>(size));
  if (pos_ > size) pos_ = size;
}
