// HTTP authentication: the scheme step machine (TNetAuthentication) and its Basic scheme, the
// process-wide registry that maps a challenge's scheme name to a scheme class, the decision
// logic behind a client's FireAuthorization / FireProxyAuthorization, and the store of
// successful authentications.
//
// Thread-safety: authentication objects and the store belong to one client and one thread at a
// time. The scheme registry is process-wide and guarded by its own lock: RegisterAuthScheme and
// FindAuthScheme may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/NetGlobal.h"
#include "http/NetHeaderList.h"
#include "http/NetURI.h"
#include "runtime/Component.h"
#include "netbase/NetBase.h"

class TNetAuthentication;
class TNetRequestHeaderInfo;
class TNetResponseHeaderInfo;
class TNetProxyConnectionInfo;

// What NextStep asks of the caller.
enum TNetAuthStepResult {
  AskProgram = 0,       // the program must supply credentials
  SendCredentials = 1,  // send the request again
  Fail = 2,             // give up
};

// A scheme "class": its name and a way to make an object of it.
struct TNetAuthenticationClassInfo {
  const char* ClassName;
  std::unique_ptr<TNetAuthentication> (*Create)();
};
using TNetAuthenticationClass = const TNetAuthenticationClassInfo*;

// A second registration of a scheme name.
class ENetAlreadyRegisteredAuthenticationMethod : public ENetException {
 public:
  using ENetException::ENetException;
};

// Base of the schemes. SchemeParams holds "Username", "Password" and the parameters read from
// the challenge as "name: value" lines; AuthParams a copy of the challenge lines.
class TNetAuthentication : public TNetPersistent {
 public:
  TNetAuthentication();
  ~TNetAuthentication() override;
  TNetAuthentication(const TNetAuthentication&) = delete;
  TNetAuthentication& operator=(const TNetAuthentication&) = delete;

  const char* ClassName() const override { return "TNetAuthentication"; }

  // Runs the scheme's step evaluation.
  TNetAuthStepResult NextStep() { return DoNext(); }
  // Number of steps after which the authentication is complete (0 here).
  virtual int StepCount() const { return 0; }
  virtual void SetPassword(const std::string& password);
  virtual void SetUsername(const std::string& username);
  std::string Password() const;
  std::string Username() const;
  // Back to the first step (nothing to do here).
  virtual void Reset() {}
  // The value for an Authorization or Proxy-Authorization header ("" when none is due).
  virtual std::string Credentials() = 0;
  // Whether the scheme needs the connection kept open between its steps.
  virtual bool KeepAlive() const = 0;

  int CurrentStep() const { return current_step_; }
  void SetCurrentStep(int step) { current_step_ = step; }
  TNetHeaderList& SchemeParams() { return scheme_params_; }
  const TNetHeaderList& SchemeParams() const { return scheme_params_; }
  // The challenge lines, or nullptr before a challenge was given.
  const TNetHeaderList* AuthParams() const { return auth_params_.get(); }
  // AuthParams := a copy of `challenge` (created on first use).
  void SetAuthParams(const TStringList& challenge);
  // The first challenge line that starts with `scheme` (exact case, at its first byte); "" when
  // there is none.
  std::string ChallengeFor(const std::string& scheme) const;

 protected:
  // The scheme's step evaluation behind NextStep.
  virtual TNetAuthStepResult DoNext() = 0;

 private:
  int current_step_ = 0;
  TNetHeaderList scheme_params_;
  std::unique_ptr<TNetHeaderList> auth_params_;
};

// The Basic scheme: one step, "Basic " + Base64 of "user:password".
class TNetBasicAuthentication : public TNetAuthentication {
 public:
  TNetBasicAuthentication() = default;

  static std::unique_ptr<TNetAuthentication> Create();
  // The registry entry of this class.
  static TNetAuthenticationClass Class();

  const char* ClassName() const override { return "TNetBasicAuthentication"; }
  int StepCount() const override { return 1; }
  void Reset() override { SetCurrentStep(0); }
  // "Basic " + Base64(user name + ":" + password); an empty password still sends the colon.
  std::string Credentials() override;
  bool KeepAlive() const override { return false; }

  // The realm of the last evaluated challenge, without its quotes.
  const std::string& Realm() const { return realm_; }
  void SetRealm(std::string realm) { realm_ = std::move(realm); }

 protected:
  // Reads the Basic challenge's parameters into SchemeParams (they accumulate), sets Realm;
  // SendCredentials at step 0 with a user name, AskProgram without one, Fail at other steps.
  TNetAuthStepResult DoNext() override;

 private:
  std::string realm_;
};

// Adds a scheme name (case ignored). A name already present raises
// ENetAlreadyRegisteredAuthenticationMethod naming the class registered first. "Basic" is
// registered from the start.
void RegisterAuthScheme(const std::string& name, TNetAuthenticationClass cls);
// The class registered for `name` (case ignored), or nullptr.
TNetAuthenticationClass FindAuthScheme(const std::string& name);

// Events a client offers to drive authentication. `sender` is the client.
// May replace the chosen scheme class (and must leave one); `auth_info` are the challenges.
using TNetOnSelectAuthorization =
    std::function<void(TComponent* sender, TNetAuthenticationClass& authentication_class,
                       const TNetHeaderList& auth_info)>;
// Supplies credentials by setting the object's user name / password and `handled`.
using TNetOnAuthorization =
    std::function<void(TComponent* sender, TNetAuthentication* authentication, bool& handled)>;

// How many times one decision asks the program for credentials before giving up: a handler
// that claims to have handled the challenge but leaves the user name empty would otherwise be
// asked for ever.
inline constexpr int kMaxAuthorizationPrompts = 16;

// The decision of a client's FireAuthorization after a 401 (everything but the attempt
// counter): picks the scheme from the response's WWW-Authenticate lines when the request has
// no authentication object yet, then steps it, asking `on_authorization`. True means: send the
// request again with credentials.
bool DecideAuthorization(TComponent* sender, TNetRequestHeaderInfo& request,
                         const TNetResponseHeaderInfo& response,
                         const TNetOnSelectAuthorization& on_select,
                         const TNetOnAuthorization& on_authorization);
// The same for a 407 and the proxy settings (Proxy-Authenticate lines, ProxyUsername /
// ProxyPassword). Clears ProxyPassword and resets the object before stepping.
bool DecideProxyAuthorization(TComponent* sender, TNetProxyConnectionInfo& proxy,
                              const TNetResponseHeaderInfo& response,
                              const TNetOnSelectAuthorization& on_select,
                              const TNetOnAuthorization& on_proxy_authorization);

// One successful authentication: where (URI) and with what parameters.
class TNetAuthenticationItem {
 public:
  TNetAuthenticationItem() = default;
  TNetURI& URI() { return uri_; }
  const TNetURI& URI() const { return uri_; }
  TStringList& Params() { return params_; }
  const TStringList& Params() const { return params_; }

 private:
  TNetURI uri_;
  TStringList params_;
};

// The store of successful authentications a client may be given (never owned by the client;
// the client forgets it when it is destroyed).
class TNetAuthenticationManager : public TComponent {
 public:
  TNetAuthenticationManager() = default;

  // Records `authentication` for `uri`: the item's URI is parsed from uri.ComposedURI() (the
  // given URI's URI field is updated by that call), its parameters are a copy of the object's
  // SchemeParams. A URI without protocol or host raises ENetURIException.
  void AddAuthentication(const TNetAuthentication& authentication, TNetURI& uri);

  int Count() const { return static_cast<int>(items_.size()); }
  const TNetAuthenticationItem& Items(int index) const { return *items_.at(index); }

 private:
  std::vector<std::unique_ptr<TNetAuthenticationItem>> items_;
};
