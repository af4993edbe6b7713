#include "http/NetURI.h"

#include <string_view>

#include "http/NetGlobal.h"
#include "runtime/CodePage.h"

namespace {

// Every "\" becomes "/", except the trail byte of a double-byte character.
std::string TurnBackslashes(const std::string& text) {
  std::string s = text;
  const size_t n = s.size();
  for (size_t i = 0; i < n; ++i) {
    if (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < n) {
      ++i;
    } else if (s[i] == '\\') {
      s[i] = '/';
    }
  }
  return s;
}

// Whether `text` is a scheme name: a letter, then letters, digits, "+", "-" or ".". The text
// before a "://" that is not one (as in "/r?u=http://x/y", where "://" sits inside the query)
// leaves the whole reference relative.
bool IsSchemeName(std::string_view text) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (text.empty() || !letter(text[0])) return false;
  for (char c : text.substr(1)) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

TNetURI::TNetURI(const std::string& text) {
  if (!text.empty()) Parse(text);
}

void TNetURI::Parse(const std::string& text) {
  URI = TurnBackslashes(text);
  Protocol.clear();
  UserName.clear();
  Password.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  Document.clear();
  Params.clear();
  Bookmark.clear();

  std::string w = URI;
  const int k = TextPos("://", w);
  const bool absolute = k > 1 && IsSchemeName(std::string_view(w).substr(0, k - 1));
  if (absolute) {
    Protocol = w.substr(0, static_cast<size_t>(k) - 1);
    w.erase(0, static_cast<size_t>(k) + 2);
    std::string authority = FetchToken(w, "/");
    const int at = TextPos("@", authority);
    if (at > 0) {
      Password = authority.substr(0, static_cast<size_t>(at) - 1);
      authority.erase(0, static_cast<size_t>(at));
    }
    UserName = FetchToken(Password, ":");
    if (UserName.empty()) Password.clear();
    // An IPv6 literal keeps its brackets in Host: its colons are not the port's.
    const size_t close = authority.starts_with("[") ? authority.find(']') : std::string::npos;
    if (close != std::string::npos) {
      Host = authority.substr(0, close + 1);
      authority.erase(0, close + 1);
      if (authority.starts_with(":")) authority.erase(0, 1);
    } else {
      Host = FetchToken(authority, ":");
    }
    Port = authority;
  }

  // The query starts at the first "?", or at the first "=" when there is no "?"; the path ends
  // at the last "/" before it, so a "/" inside the query never shifts the path.
  int q = TextPos("?", w);
  if (q == 0) q = TextPos("=", w);
  const int t = LastPosUpTo("/", w, q > 0 ? q : -1);
  const size_t path_len = static_cast<size_t>(t);
  Path = absolute ? "/" + w.substr(0, path_len) : w.substr(0, path_len);
  if (q > 0) {
    Document = w.substr(0, static_cast<size_t>(q) - 1);
    Params = w.substr(static_cast<size_t>(q) - 1);
  } else {
    Document = w;
  }
  Document.erase(0, path_len);
  if (absolute) {
    Bookmark = Document;
    Document = FetchToken(Bookmark, "#");
  }

  if (Bookmark.empty()) {
    Bookmark = Params;
    Params = FetchToken(Bookmark, "#");
  }
}

std::string TNetURI::Compose(TNetURIOptionalFields options) const {
  if (Protocol.empty()) throw ENetURIException("Protocol field is empty");
  if (Host.empty()) throw ENetURIException("Host field is empty");
  std::string r;
  r.reserve(Protocol.size() + UserName.size() + Password.size() + Host.size() + Port.size() +
            Path.size() + Document.size() + Params.size() + Bookmark.size() + 8);
  r += Protocol;
  r += "://";
  if (!UserName.empty() && (options & WithUserInfo)) {
    r += UserName;
    if (!Password.empty()) {
      r += ':';
      r += Password;
    }
    r += '@';
  }
  r += Host;
  if (!Port.empty()) {
    r += ':';
    r += Port;
  }
  r += Path;
  r += Document;
  r += Params;
  if (!Bookmark.empty() && (options & WithBookmark)) {
    r += '#';
    r += Bookmark;
  }
  return r;
}

std::string TNetURI::ComposedURI() {
  std::string full = Compose(WithUserInfo | WithBookmark);
  std::string bare = Compose();
  URI = std::move(full);
  return bare;
}
