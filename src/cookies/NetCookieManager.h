// The cookie store of one HTTP client: TNetCookies owns the cookie records and files the stored
// ones in a domain index; TNetCookieManager takes the Set-Cookie and Set-Cookie2 values a client
// received and produces the Cookie header value for each request.
//
// Thread-safety: every access to the domain index, and to the records filed in it, goes through
// the collection's reader-writer lock (many readers or one writer; the writing thread may take
// write or read access again). AddSetCookie, AddSetCookie2, CookieHeaderFor and SweepExpired may
// be called from several threads at once. The events fire on the calling thread. Construction,
// destruction, setting the events and the collection's Count/Items belong to one thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "cookies/NetCookie.h"
#include "netbase/NetBase.h"

class TNetURI;
class TNetCookieManager;

// Owns every cookie record that is stored or being examined, and the domain index:
// domain (case ignored) -> name (case ignored) -> record, in the order entries were added.
// Invariant: every record reachable through the index is an item of the collection, filed under
// its own Domain and Name, and no two entries of one domain list share a name.
class TNetCookies {
 public:
  enum IndexAccess { ReadOnly, ReadWrite };

  TNetCookies();
  // Destroys every record, then the index.
  ~TNetCookies();
  TNetCookies(const TNetCookies&) = delete;
  TNetCookies& operator=(const TNetCookies&) = delete;

  // A new, unfiled record for a Set-Cookie value; owned by the collection.
  TNetCookieRFC2109* AddCookie();
  // A new, unfiled record for a Set-Cookie2 value; owned by the collection.
  TNetCookieRFC2965* AddCookie2();
  // Records owned by the collection, filed or not, in creation order.
  int Count() const;
  TNetCookieRFC2109* Items(int index) const;

  // Takes `record` out of the collection without touching the index; the caller owns it.
  // nullptr when it is not an item of this collection.
  std::unique_ptr<TNetCookieRFC2109> Detach(TNetCookieRFC2109* record);
  // Destroys an item: it leaves the domain index (when filed), then the collection.
  void Delete(TNetCookieRFC2109* record);

  // Takes read or write access and gives the domain index; pair with UnlockIndex(same access).
  // The thread holding write access may lock again (either access); read access never turns
  // into write access (a reader asking for write waits for itself).
  TNetCookieList& LockIndex(IndexAccess access);
  void UnlockIndex(IndexAccess access);

  // Files `record` (an item of this collection) under its Domain and Name. When a record of
  // that domain and name is stored already, the stored one takes over the cookie and keeps its
  // place, and `record` is destroyed.
  void Insert(TNetCookieRFC2109* record);

 private:
  friend class TNetNetscapeCookie;  // unlinks itself on destruction
  // Removes the index entry that holds `record`, if any (takes write access).
  void Unlink(const TNetNetscapeCookie* record);

  // Reader-writer lock with a re-entrant writer: writer_ is the thread holding `rw_` exclusively
  // (only that thread ever finds its own id there), write_depth_ counts its nested acquisitions,
  // read access it takes meanwhile included.
  std::shared_mutex rw_;
  std::atomic<std::thread::id> writer_{};
  int write_depth_ = 0;

  TNetCookieList domain_index_;

  // Guards items_ alone. Lock order: the index lock before items_mutex_, never the reverse.
  mutable std::mutex items_mutex_;
  std::vector<std::unique_ptr<TNetCookieRFC2109>> items_;
};

// ASender, ACookieCollection.
using TOnManagerEvent = std::function<void(TNetCookieManager*, TNetCookies*)>;
// ASender, ACookie, VAccept (starts true; false discards the cookie).
using TOnNewCookieEvent = std::function<void(TNetCookieManager*, TNetCookieRFC2109*, bool&)>;

// The cookie manager an HTTP client references. Cookies live as long as the manager; a client
// holding one without owning it is told of its destruction through the component notification.
class TNetCookieManager : public TNetBaseComponent {
 public:
  // Creates the Jar, then fires `on_create` (also kept as OnCreate) with it.
  explicit TNetCookieManager(TOnManagerEvent on_create = nullptr);
  // Sweeps expired cookies, fires OnDestroy with the Jar, frees the Jar.
  ~TNetCookieManager() override;

  // The collection of this manager's cookies.
  TNetCookies* Jar() const { return jar_.get(); }

  // Takes one Set-Cookie value received from `host`.
  void AddSetCookie(const std::string& value, const std::string& host);
  // Takes one Set-Cookie2 value received from `host`.
  void AddSetCookie2(const std::string& value, const std::string& host);
  // The Cookie header value for a request to `uri` (its Host and Path); empty means send no
  // header. `secure` tells whether the connection is TLS, which Secure cookies require.
  std::string CookieHeaderFor(const TNetURI& uri, bool secure);
  // The same for a host and a request path (the path without its document name).
  std::string CookieHeaderFor(const std::string& host, const std::string& path, bool secure);
  // Destroys every stored cookie whose expiry lies before now.
  void SweepExpired();

  TOnManagerEvent OnCreate;
  TOnManagerEvent OnDestroy;
  TOnNewCookieEvent OnNewCookie;

 protected:
  // Parses `value` into `record` (a fresh item of the Jar), gives it `host` as its Domain when
  // it names none, and stores it when the host may set it and OnNewCookie accepts it; otherwise
  // destroys it. A parse error passes on and leaves the record in the Jar, unfiled.
  void AdoptCookie(TNetCookieRFC2109* record, const std::string& value, const std::string& host);

 private:
  std::unique_ptr<TNetCookies> jar_;
};
