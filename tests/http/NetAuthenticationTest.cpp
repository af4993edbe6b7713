// Authentication: Basic challenges with and without a handler, scheme choice and the registry,
// the proxy variant, the store of successful authentications, and Base64 against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "http/NetAuthentication.h"
#include "http/NetCoderMIME.h"
#include "http/NetHTTPHeaderInfo.h"

namespace {

std::string B64(const std::string& s) { return EncodeString<TNetEncoderMIME>(s); }

std::string Decode(const std::string& text) {
  TNetDecoderMIME d;
  TMemoryStream out;
  d.DecodeToStream(text, out);
  return out.DataString();
}

// A 401 or 407 response carrying `challenges`.
struct Challenged {
  explicit Challenged(const std::vector<std::string>& challenges, bool proxy = false) {
    for (const std::string& c : challenges) {
      response.HeaderLines().Add((proxy ? "Proxy-Authenticate: " : "WWW-Authenticate: ") + c);
    }
    response.ReadFromLines();
  }
  TNetResponseHeaderInfo response;
};

TEST(BasicAuthorization, PresetCredentialsNeedNoPrompt) {
  Challenged c({"Basic realm=\"site\""});
  TNetRequestHeaderInfo request;
  request.SetUsername("user");
  request.SetPassword("pass");
  int prompts = 0;
  TNetOnAuthorization handler = [&](TComponent*, TNetAuthentication*, bool&) { ++prompts; };
  EXPECT_TRUE(DecideAuthorization(nullptr, request, c.response, nullptr, handler));
  EXPECT_EQ(prompts, 0);
  auto* basic = dynamic_cast<TNetBasicAuthentication*>(request.Authentication());
  ASSERT_NE(basic, nullptr);
  EXPECT_EQ(basic->Realm(), "site");
  request.WriteToLines();
  EXPECT_EQ(request.HeaderLines().HeaderValue("Authorization"), "Basic " + B64("user:pass"));
}

TEST(BasicAuthorization, HandlerSuppliesTheUserName) {
  Challenged c({"Basic realm=\"site\""});
  TNetRequestHeaderInfo request;
  TNetOnAuthorization handler = [](TComponent*, TNetAuthentication* a, bool& handled) {
    a->SetUsername("bob");
    a->SetPassword("");
    handled = true;
  };
  EXPECT_TRUE(DecideAuthorization(nullptr, request, c.response, nullptr, handler));
  EXPECT_TRUE(request.BasicAuthentication());
  EXPECT_EQ(request.Username(), "bob");
  request.WriteToLines();
  // An empty password still sends the colon.
  EXPECT_EQ(request.HeaderLines().HeaderValue("Authorization"), "Basic " + B64("bob:"));
}

TEST(BasicAuthorization, LongCredentialsSurviveIntact) {
  TNetBasicAuthentication basic;
  const std::string user = "user with  two blanks";
  const std::string password = std::string(70, 'p') + ",x, y  z" + std::string(30, 'q');
  basic.SetUsername(user);
  basic.SetPassword(password);
  EXPECT_EQ(basic.Password(), password);
  EXPECT_EQ(basic.Credentials(), "Basic " + B64(user + ":" + password));
}

TEST(BasicAuthorization, RefusalsAndMissingHandlers) {
  Challenged c({"Basic realm=\"site\""});
  {
    TNetRequestHeaderInfo request;
    request.SetUsername("user");
    // Without an authorization handler the answer is no, credentials or not.
    EXPECT_FALSE(DecideAuthorization(nullptr, request, c.response, nullptr, nullptr));
    EXPECT_NE(request.Authentication(), nullptr);  // the scheme object was made all the same
  }
  {
    TNetRequestHeaderInfo request;
    TNetOnAuthorization declines = [](TComponent*, TNetAuthentication*, bool& handled) {
      handled = false;
    };
    EXPECT_FALSE(DecideAuthorization(nullptr, request, c.response, nullptr, declines));
    EXPECT_FALSE(request.BasicAuthentication());
  }
  {
    // A handler that says "handled" but never gives a user name is not asked for ever.
    TNetRequestHeaderInfo request;
    int prompts = 0;
    TNetOnAuthorization empty = [&](TComponent*, TNetAuthentication*, bool& handled) {
      ++prompts;
      handled = true;
    };
    EXPECT_FALSE(DecideAuthorization(nullptr, request, c.response, nullptr, empty));
    EXPECT_EQ(prompts, kMaxAuthorizationPrompts);
  }
  {
    TNetRequestHeaderInfo request;
    request.SetUsername("user");
    Challenged unknown({"Digest realm=\"x\"", "NTLM"});
    TNetOnAuthorization any = [](TComponent*, TNetAuthentication*, bool& h) { h = true; };
    EXPECT_FALSE(DecideAuthorization(nullptr, request, unknown.response, nullptr, any));
    EXPECT_EQ(request.Authentication(), nullptr);
  }
}

TEST(BasicAuthorization, FirstKnownSchemeWinsForServerAndProxy) {
  TNetOnAuthorization any = [](TComponent*, TNetAuthentication*, bool& h) { h = true; };
  std::vector<std::string> seen;
  TNetOnSelectAuthorization select = [&](TComponent*, TNetAuthenticationClass& cls,
                                         const TNetHeaderList& info) {
    seen.push_back(cls->ClassName);
    EXPECT_EQ(info.Count(), 2);
  };

  Challenged server({"Digest realm=\"d\"", "Basic realm=\"b\""});
  TNetRequestHeaderInfo request;
  request.SetUsername("u");
  EXPECT_TRUE(DecideAuthorization(nullptr, request, server.response, select, any));
  EXPECT_EQ(dynamic_cast<TNetBasicAuthentication*>(request.Authentication())->Realm(), "b");

  Challenged proxy({"Digest realm=\"d\"", "Basic realm=\"p\""}, /*proxy=*/true);
  TNetProxyConnectionInfo params;
  params.SetProxyUsername("pu");
  params.SetProxyPassword("refused");
  EXPECT_TRUE(DecideProxyAuthorization(nullptr, params, proxy.response, select, any));
  EXPECT_EQ(seen, (std::vector<std::string>{"TNetBasicAuthentication", "TNetBasicAuthentication"}));
  // The refused password is dropped before the retry.
  EXPECT_EQ(params.ProxyPassword(), "");
  TNetHeaderList lines;
  params.WriteToLines(lines);
  EXPECT_EQ(lines.HeaderValue("Proxy-Authorization"), "Basic " + B64("pu:"));

  TNetProxyConnectionInfo no_handler;
  no_handler.SetProxyUsername("pu");
  EXPECT_FALSE(DecideProxyAuthorization(nullptr, no_handler, proxy.response, nullptr, nullptr));
}

TEST(AuthRegistry, DuplicatesAreRefusedIgnoringCase) {
  EXPECT_EQ(FindAuthScheme("basic"), TNetBasicAuthentication::Class());
  EXPECT_EQ(FindAuthScheme("Digest"), nullptr);
  try {
    RegisterAuthScheme("BASIC", TNetBasicAuthentication::Class());
    FAIL() << "no exception";
  } catch (const ENetAlreadyRegisteredAuthenticationMethod& e) {
    EXPECT_EQ(e.Message(),
              "This authentication method is already registered with class name "
              "TNetBasicAuthentication.");
  }
  static const TNetAuthenticationClassInfo kTest = {"TTestAuthentication",
                                                    &TNetBasicAuthentication::Create};
  RegisterAuthScheme("X-Test-Scheme", &kTest);
  EXPECT_EQ(FindAuthScheme("x-test-scheme"), &kTest);
}

TEST(AuthStore, RecordsTheComposedURIAndParameters) {
  Challenged c({"Basic realm=\"site\""});
  TNetRequestHeaderInfo request;
  request.SetUsername("u");
  TNetOnAuthorization any = [](TComponent*, TNetAuthentication*, bool& h) { h = true; };
  ASSERT_TRUE(DecideAuthorization(nullptr, request, c.response, nullptr, any));
  TNetAuthenticationManager store;
  TNetURI uri("http://u:p@h:81/a/b.htm?x#frag");
  store.AddAuthentication(*request.Authentication(), uri);
  ASSERT_EQ(store.Count(), 1);
  EXPECT_EQ(store.Items(0).URI().URI, "http://h:81/a/b.htm?x");
  EXPECT_EQ(store.Items(0).URI().Host, "h");
  EXPECT_EQ(store.Items(0).Params().Count(), request.Authentication()->SchemeParams().Count());

  TNetURI relative("/only/a/path");
  EXPECT_THROW(store.AddAuthentication(*request.Authentication(), relative), ENetURIException);
  EXPECT_EQ(store.Count(), 1);
}

TEST(Base64, PaddingAndErrors) {
  EXPECT_EQ(B64(""), "");
  EXPECT_EQ(B64("M"), "TQ==");
  EXPECT_EQ(B64("Ma"), "TWE=");
  EXPECT_EQ(B64("Man"), "TWFu");
  EXPECT_EQ(B64(std::string("\xFF\xFE\x00", 3)), "//4A");
  EXPECT_EQ(B64(std::string(3000, 'x')).find_first_of("\r\n"), std::string::npos);

  EXPECT_EQ(Decode("TWE="), "Ma");
  EXPECT_EQ(Decode("TQ=="), "M");
  EXPECT_EQ(Decode(""), "");
  try {
    Decode("TWFuT");
    FAIL() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Uneven size in DecodeToStream.");
  }
  // Bytes outside the alphabet decode to something, never to a crash.
  EXPECT_EQ(Decode(std::string("\x00\x80\xFF!", 4)).size(), 3u);

  TNetEncoderMIME encoder;
  TNetReadMemoryStream source("abcdef");
  try {
    encoder.Encode(source, 4);
    FAIL() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Uneven size in Encode.");
  }
  EXPECT_EQ(encoder.Encode(source, 3), "YWJj");  // from the stream's position
  EXPECT_EQ(encoder.Encode(source, 300), "ZGVm");
  EXPECT_EQ(encoder.Encode(source), "");
}

// A stream that hands out one byte per read.
class TrickleStream : public TMemoryStream {
 public:
  int64_t Read(void* buffer, int64_t count) override {
    return TMemoryStream::Read(buffer, count > 0 ? 1 : 0);
  }
};

TEST(Base64, AnyStreamAnyPosition) {
  const std::string text(10000, 'z');
  TrickleStream trickle;
  trickle.WriteString("skip" + text);
  trickle.SetPosition(4);
  TNetEncoderMIME encoder;
  EXPECT_EQ(encoder.Encode(trickle), B64(text));
  EXPECT_EQ(trickle.Position(), trickle.Size());
}

TEST(Base64, AgreesWithOpenSSLForEveryLength) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 20; ++round) {
    for (int len = 0; len <= 300; ++len) {
      std::string input(static_cast<size_t>(len), '\0');
      for (char& ch : input) ch = static_cast<char>(byte(rng));
      std::string expected(static_cast<size_t>(4 * ((len + 2) / 3) + 1), '\0');
      const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                    reinterpret_cast<const unsigned char*>(input.data()), len);
      expected.resize(static_cast<size_t>(n));
      const std::string ours = B64(input);
      ASSERT_EQ(ours, expected) << "length " << len;
      ASSERT_EQ(Decode(ours), input) << "length " << len;
    }
  }
}

}  // namespace
