#include "cookies/NetCookieManager.h"

#include <algorithm>

#include "cookies/NetDateTime.h"
#include "http/NetURI.h"
#include "runtime/DateUtils.h"
#include "runtime/StrUtils.h"

namespace {

// Holds index access for one scope, also across an exception.
class IndexGuard {
 public:
  IndexGuard(TNetCookies& jar, TNetCookies::IndexAccess access)
      : jar_(jar), access_(access), index_(jar.LockIndex(access)) {}
  ~IndexGuard() { jar_.UnlockIndex(access_); }
  IndexGuard(const IndexGuard&) = delete;
  IndexGuard& operator=(const IndexGuard&) = delete;

  TNetCookieList& Index() const { return index_; }

 private:
  TNetCookies& jar_;
  TNetCookies::IndexAccess access_;
  TNetCookieList& index_;
};

// Whether a cookie filed under `domain` belongs to `host`: the host is the domain itself
// (without its leading dot) or lies beneath it, label for label. A host that merely contains
// the domain text (xd.t, d.t.example) is a different site and gets nothing.
bool HostInDomain(std::string_view host, std::string_view domain) {
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  if (domain.empty() || host.size() < domain.size()) return false;
  const std::string_view tail = host.substr(host.size() - domain.size());
  if (!SameText(tail, domain)) return false;
  return host.size() == domain.size() || host[host.size() - domain.size() - 1] == '.';
}

// A line break inside a name or value would end the Cookie header line early.
bool HasLineBreak(std::string_view text) {
  for (const char ch : text) {
    if (ch == '\r' || ch == '\n') return true;
  }
  return false;
}

}  // namespace

// --- TNetCookies --------------------------------------------------------------------------

TNetCookies::TNetCookies() = default;

TNetCookies::~TNetCookies() {
  // The index goes with the records, so they need not unlink one by one: detach them first.
  for (auto& record : items_) record->collection_ = nullptr;
  items_.clear();
  domain_index_.Clear();
}

TNetCookieRFC2109* TNetCookies::AddCookie() {
  std::lock_guard<std::mutex> lock(items_mutex_);
  items_.push_back(std::make_unique<TNetCookieRFC2109>(this));
  return items_.back().get();
}

TNetCookieRFC2965* TNetCookies::AddCookie2() {
  auto record = std::make_unique<TNetCookieRFC2965>(this);
  TNetCookieRFC2965* raw = record.get();
  std::lock_guard<std::mutex> lock(items_mutex_);
  items_.push_back(std::move(record));
  return raw;
}

int TNetCookies::Count() const {
  std::lock_guard<std::mutex> lock(items_mutex_);
  return static_cast<int>(items_.size());
}

TNetCookieRFC2109* TNetCookies::Items(int index) const {
  std::lock_guard<std::mutex> lock(items_mutex_);
  if (index < 0 || index >= static_cast<int>(items_.size())) return nullptr;
  return items_[index].get();
}

std::unique_ptr<TNetCookieRFC2109> TNetCookies::Detach(TNetCookieRFC2109* record) {
  std::unique_ptr<TNetCookieRFC2109> owned;
  if (record == nullptr) return owned;
  std::lock_guard<std::mutex> lock(items_mutex_);
  // Records leave mostly soon after they came (a merged or refused newcomer): search backwards.
  for (size_t i = items_.size(); i-- > 0;) {
    if (items_[i].get() == record) {
      owned = std::move(items_[i]);
      items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
      owned->collection_ = nullptr;
      break;
    }
  }
  return owned;
}

void TNetCookies::Delete(TNetCookieRFC2109* record) {
  if (record == nullptr || record->Collection() != this) return;
  Unlink(record);
  Detach(record);  // the returned owner destroys it here, outside every lock
}

TNetCookieList& TNetCookies::LockIndex(IndexAccess access) {
  const std::thread::id me = std::this_thread::get_id();
  if (writer_.load(std::memory_order_relaxed) == me) {
    ++write_depth_;  // the writer again (write or read access): already exclusive
    return domain_index_;
  }
  if (access == ReadWrite) {
    rw_.lock();
    writer_.store(me, std::memory_order_relaxed);
    write_depth_ = 1;
  } else {
    rw_.lock_shared();
  }
  return domain_index_;
}

void TNetCookies::UnlockIndex(IndexAccess access) {
  if (writer_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    if (--write_depth_ == 0) {
      writer_.store(std::thread::id(), std::memory_order_relaxed);
      rw_.unlock();
    }
    return;
  }
  rw_.unlock_shared();
}

void TNetCookies::Unlink(const TNetNetscapeCookie* record) {
  IndexGuard guard(*this, ReadWrite);
  TNetCookieList& index = guard.Index();
  const int d = index.IndexOf(record->Domain());
  if (d >= 0) {
    TNetCookieList* names = index.ListAt(d);
    const int n = names != nullptr ? names->IndexOf(record->Name()) : -1;
    if (n >= 0 && names->CookieAt(n) == record) {
      names->Delete(n);
      return;
    }
  }
  // Not where its Domain and Name say (never filed, or filed under another spelling): make
  // sure no entry keeps pointing at it.
  for (int i = 0; i < index.Count(); ++i) {
    TNetCookieList* names = index.ListAt(i);
    if (names == nullptr) continue;
    for (int j = 0; j < names->Count(); ++j) {
      if (names->CookieAt(j) == record) {
        names->Delete(j);
        return;
      }
    }
  }
}

void TNetCookies::Insert(TNetCookieRFC2109* record) {
  if (record == nullptr || record->Collection() != this) return;
  std::unique_ptr<TNetCookieRFC2109> merged;  // destroyed after the lock is released
  {
    IndexGuard guard(*this, ReadWrite);
    TNetCookieList& index = guard.Index();
    const int d = index.IndexOf(record->Domain());
    TNetCookieList* names = d >= 0 ? index.ListAt(d) : index.AddList(record->Domain());
    if (names == nullptr) return;  // a domain entry without a name list: leave it unfiled
    const int n = names->IndexOf(record->Name());
    if (n < 0) {
      names->AddCookie(record->Name(), record);
      return;
    }
    TNetCookieRFC2109* stored = names->CookieAt(n);
    if (stored == nullptr || stored == record) return;
    stored->Assign(*record);
    merged = Detach(record);
  }
}

// --- TNetCookieManager --------------------------------------------------------------------

TNetCookieManager::TNetCookieManager(TOnManagerEvent on_create)
    : OnCreate(std::move(on_create)), jar_(std::make_unique<TNetCookies>()) {
  if (OnCreate) OnCreate(this, jar_.get());
}

TNetCookieManager::~TNetCookieManager() {
  // Nothing may escape a destructor: a zone that cannot be read or a throwing handler only
  // costs the sweep or the event.
  try {
    SweepExpired();
  } catch (...) {
  }
  if (OnDestroy) {
    try {
      OnDestroy(this, jar_.get());
    } catch (...) {
    }
  }
  jar_.reset();
}

void TNetCookieManager::AddSetCookie(const std::string& value, const std::string& host) {
  AdoptCookie(jar_->AddCookie(), value, host);
}

void TNetCookieManager::AddSetCookie2(const std::string& value, const std::string& host) {
  AdoptCookie(jar_->AddCookie2(), value, host);
}

void TNetCookieManager::AdoptCookie(TNetCookieRFC2109* record, const std::string& value,
                                    const std::string& host) {
  record->ParseCookieText(value);
  if (record->Domain().empty()) record->SetDomain(host);
  if (!record->AcceptableFrom(host)) {
    jar_->Detach(record);  // dropped without a word; the stored cookies stay as they were
    return;
  }
  bool accept = true;
  if (OnNewCookie) OnNewCookie(this, record, accept);
  if (accept) {
    jar_->Insert(record);
  } else {
    jar_->Detach(record);
  }
}

void TNetCookieManager::SweepExpired() {
  IndexGuard guard(*jar_, TNetCookies::ReadWrite);
  TNetCookieList& index = guard.Index();
  const TDateTime now = Now();
  for (int d = 0; d < index.Count(); ++d) {
    TNetCookieList* names = index.ListAt(d);
    if (names == nullptr) continue;
    for (int i = names->Count() - 1; i >= 0; --i) {
      TNetCookieRFC2109* record = names->CookieAt(i);
      if (record != nullptr && !record->Expires().empty() && now > record->ExpiresLocal()) {
        jar_->Delete(record);  // unlinks entry i under a nested write access
      }
    }
  }
}

std::string TNetCookieManager::CookieHeaderFor(const TNetURI& uri, bool secure) {
  return CookieHeaderFor(uri.Host, uri.Path, secure);
}

std::string TNetCookieManager::CookieHeaderFor(const std::string& host, const std::string& path,
                                               bool secure) {
  SweepExpired();

  // Records are read under the lock from the choice to the last byte of the header.
  IndexGuard guard(*jar_, TNetCookies::ReadOnly);
  const TNetCookieList& index = guard.Index();
  std::vector<const TNetCookieRFC2109*> chosen;
  for (int d = 0; d < index.Count(); ++d) {
    if (!HostInDomain(host, index.Strings(d))) continue;
    const TNetCookieList* names = index.ListAt(d);
    if (names == nullptr) continue;
    for (int i = names->Count() - 1; i >= 0; --i) {
      const TNetCookieRFC2109* c = names->CookieAt(i);
      if (c == nullptr) continue;
      // An empty Path is a prefix of nothing: such a cookie is kept but never sent.
      if (c->Path().empty() || path.compare(0, c->Path().size(), c->Path()) != 0) continue;
      if (c->Secure() && !secure) continue;
      if (c->Value().empty()) continue;
      if (HasLineBreak(c->Name()) || HasLineBreak(c->Value())) continue;
      chosen.push_back(c);
    }
  }

  // Longest (greatest, case ignored) paths first; equal paths keep the order they were found in.
  std::stable_sort(chosen.begin(), chosen.end(),
                   [](const TNetCookieRFC2109* a, const TNetCookieRFC2109* b) {
                     return CompareText(a->Path(), b->Path()) > 0;
                   });
  std::string header;
  for (const TNetCookieRFC2109* c : chosen) {
    if (!header.empty()) header += "; ";
    header += c->Name();
    header += '=';
    header += c->Value();
  }
  return header;
}
