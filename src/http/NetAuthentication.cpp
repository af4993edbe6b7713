#include "http/NetAuthentication.h"

#include <mutex>
#include <utility>

#include "http/NetCoderMIME.h"
#include "http/NetHTTPHeaderInfo.h"
#include "runtime/StrUtils.h"

// ---- TNetAuthentication -----------------------------------------------------------------------

TNetAuthentication::TNetAuthentication() {
  // Folding would put a long user name or password on several lines, and reading it back
  // joins them with single blanks: a comma or a run of blanks inside it would change.
  scheme_params_.SetFoldOnSet(false);
}

TNetAuthentication::~TNetAuthentication() = default;

void TNetAuthentication::SetPassword(const std::string& password) {
  scheme_params_.SetHeader("Password", password);
}

void TNetAuthentication::SetUsername(const std::string& username) {
  scheme_params_.SetHeader("Username", username);
}

std::string TNetAuthentication::Password() const { return scheme_params_.HeaderValue("password"); }

std::string TNetAuthentication::Username() const { return scheme_params_.HeaderValue("username"); }

void TNetAuthentication::SetAuthParams(const TStringList& challenge) {
  if (!auth_params_) auth_params_ = std::make_unique<TNetHeaderList>();
  if (&challenge == auth_params_.get()) return;
  auth_params_->Clear();
  auth_params_->AddStrings(challenge);
}

std::string TNetAuthentication::ChallengeFor(const std::string& scheme) const {
  if (!auth_params_ || scheme.empty()) return "";
  for (const std::string& line : *auth_params_) {
    if (line.compare(0, scheme.size(), scheme) == 0) return line;
  }
  return "";
}

// ---- TNetBasicAuthentication ------------------------------------------------------------------

std::unique_ptr<TNetAuthentication> TNetBasicAuthentication::Create() {
  return std::make_unique<TNetBasicAuthentication>();
}

TNetAuthenticationClass TNetBasicAuthentication::Class() {
  static const TNetAuthenticationClassInfo kInfo = {"TNetBasicAuthentication",
                                                    &TNetBasicAuthentication::Create};
  return &kInfo;
}

std::string TNetBasicAuthentication::Credentials() {
  return "Basic " + EncodeString<TNetEncoderMIME>(Username() + ":" + Password());
}

TNetAuthStepResult TNetBasicAuthentication::DoNext() {
  std::string challenge = ChallengeFor("Basic");
  FetchToken(challenge, " ");  // the scheme name
  TNetHeaderList& params = SchemeParams();
  while (!challenge.empty()) {
    std::string param = FetchToken(challenge, ", ");
    const size_t eq = param.find('=');
    if (eq != std::string::npos) param.replace(eq, 1, params.Separator());
    params.Add(std::move(param));
  }
  const std::string realm = params.HeaderValue("realm");
  realm_ = Copy(realm, 2, static_cast<int64_t>(realm.size()) - 2);  // without the quotes

  if (CurrentStep() != 0) return Fail;
  return Username().empty() ? AskProgram : SendCredentials;
}

// ---- Scheme registry --------------------------------------------------------------------------

namespace {

// A registry entry: the class registered under one scheme name.
struct TAuthListObject {
  std::string name;
  TNetAuthenticationClass cls;
};

struct AuthRegistry {
  std::mutex mutex;
  std::vector<TAuthListObject> entries;
};

// Built on first use with "Basic" in it and never destroyed, so a worker still running while
// the program exits never looks into a freed list.
AuthRegistry& Registry() {
  static AuthRegistry* registry = [] {
    auto* r = new AuthRegistry;
    r->entries.push_back({"Basic", TNetBasicAuthentication::Class()});
    return r;
  }();
  return *registry;
}

// The first scheme of `challenges` (the text before the first blank of each line) that is
// registered, or nullptr.
TNetAuthenticationClass ChooseScheme(const TStringList& challenges) {
  for (const std::string& line : challenges) {
    std::string rest = line;
    if (TNetAuthenticationClass cls = FindAuthScheme(FetchToken(rest, " "))) return cls;
  }
  return nullptr;
}

// Steps `auth` until it sends credentials or fails. `refresh` gives the object the current
// credentials before the program is asked; `adopt` takes the program's answer over.
template <class Refresh, class Adopt>
bool StepAuthorization(TComponent* sender, TNetAuthentication* auth, const TNetOnAuthorization& ask,
                       Refresh refresh, Adopt adopt) {
  for (int prompts = 0;;) {
    switch (auth->NextStep()) {
      case SendCredentials:
        return true;
      case Fail:
        return false;
      case AskProgram: {
        if (prompts++ >= kMaxAuthorizationPrompts) return false;
        refresh(auth);
        bool handled = false;
        ask(sender, auth, handled);
        if (!handled) return false;
        auth = adopt(auth);
        if (auth == nullptr) return false;  // the handler dropped the object
        break;
      }
    }
  }
}

}  // namespace

void RegisterAuthScheme(const std::string& name, TNetAuthenticationClass cls) {
  AuthRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const TAuthListObject& entry : r.entries) {
    if (SameText(entry.name, name)) {
      throw ENetAlreadyRegisteredAuthenticationMethod(
          Format("This authentication method is already registered with class name %s.",
                 entry.cls != nullptr ? entry.cls->ClassName : ""));
    }
  }
  r.entries.push_back({name, cls});
}

TNetAuthenticationClass FindAuthScheme(const std::string& name) {
  AuthRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const TAuthListObject& entry : r.entries) {
    if (SameText(entry.name, name)) return entry.cls;
  }
  return nullptr;
}

// ---- Decisions after a 401 / 407 ---------------------------------------------------------------

bool DecideAuthorization(TComponent* sender, TNetRequestHeaderInfo& request,
                         const TNetResponseHeaderInfo& response,
                         const TNetOnSelectAuthorization& on_select,
                         const TNetOnAuthorization& on_authorization) {
  const TNetHeaderList& challenges = response.WWWAuthenticate();
  if (request.Authentication() == nullptr) {
    TNetAuthenticationClass cls = ChooseScheme(challenges);
    if (cls == nullptr) return false;
    if (on_select) on_select(sender, cls, challenges);
    if (cls == nullptr || cls->Create == nullptr) return false;
    request.SetAuthentication(cls->Create());
    if (request.Authentication() == nullptr) return false;
  }
  if (!on_authorization) return false;

  TNetAuthentication* auth = request.Authentication();
  auth->SetUsername(request.Username());
  auth->SetPassword(request.Password());
  auth->SetAuthParams(challenges);
  return StepAuthorization(
      sender, auth, on_authorization,
      [&](TNetAuthentication* a) {
        a->SetUsername(request.Username());
        a->SetPassword(request.Password());
      },
      [&](TNetAuthentication* a) -> TNetAuthentication* {
        // The answer goes out with the next request as Basic credentials.
        if (request.Authentication() != a) return nullptr;
        request.SetBasicAuthentication(true);
        request.SetUsername(a->Username());
        request.SetPassword(a->Password());
        return a;
      });
}

bool DecideProxyAuthorization(TComponent* sender, TNetProxyConnectionInfo& proxy,
                              const TNetResponseHeaderInfo& response,
                              const TNetOnSelectAuthorization& on_select,
                              const TNetOnAuthorization& on_proxy_authorization) {
  const TNetHeaderList& challenges = response.ProxyAuthenticate();
  if (proxy.Authentication() == nullptr) {
    TNetAuthenticationClass cls = ChooseScheme(challenges);
    if (cls == nullptr) return false;
    if (on_select) on_select(sender, cls, challenges);
    if (cls == nullptr || cls->Create == nullptr) return false;
    proxy.SetAuthentication(cls->Create());
    if (proxy.Authentication() == nullptr) return false;
  }
  const bool ask = static_cast<bool>(on_proxy_authorization);
  // A 407 means the password we had was refused.
  proxy.SetProxyPassword("");
  proxy.Authentication()->Reset();
  if (!ask) return false;

  TNetAuthentication* auth = proxy.Authentication();
  auth->SetUsername(proxy.ProxyUsername());
  auth->SetPassword(proxy.ProxyPassword());
  auth->SetAuthParams(challenges);
  return StepAuthorization(
      sender, auth, on_proxy_authorization,
      [&](TNetAuthentication* a) {
        a->SetUsername(proxy.ProxyUsername());
        a->SetPassword(proxy.ProxyPassword());
      },
      [&](TNetAuthentication* a) -> TNetAuthentication* {
        if (proxy.Authentication() != a) return nullptr;
        proxy.SetProxyUsername(a->Username());
        proxy.SetProxyPassword(a->Password());
        return a;
      });
}

// ---- TNetAuthenticationManager ----------------------------------------------------------------

void TNetAuthenticationManager::AddAuthentication(const TNetAuthentication& authentication,
                                                  TNetURI& uri) {
  auto item = std::make_unique<TNetAuthenticationItem>();
  item->URI().Parse(uri.ComposedURI());
  item->Params().AddStrings(authentication.SchemeParams());
  items_.push_back(std::move(item));
}
