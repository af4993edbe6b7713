// The exchange against scripted loopback peers: body framings, interim and odd status lines,
// the failure table, keep-alive, redirects and the limits on what one answer may cost.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/NetContentDecoder.h"
#include "http/NetHTTP.h"
#include "support/CodedBodies.h"
#include "support/HttpClientHelpers.h"
#include "support/ScriptedServer.h"

namespace {

using Reply = ScriptedServer::Reply;

std::string Head200(const std::vector<std::string>& headers) {
  return HttpHead("HTTP/1.1 200 OK", headers);
}

// ---------------------------------------------------------------------------------------------

TEST(HttpFraming, BodiesArriveByteExact) {
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary.push_back(static_cast<char>(i * 7));
  struct Case {
    const char* name;
    std::string reply;
    std::string body;
    int connections = 1;  // for the two requests; 2 when the first answer's must not be reused
  } cases[] = {
      {"content-length", HttpResponse("HTTP/1.1 200 OK", binary), binary},
      {"zero length", HttpResponse("HTTP/1.1 200 OK", ""), ""},
      {"chunked lower hex", Head200({"Transfer-Encoding: chunked"}) + ChunkedBody(binary, 0x3fa),
       binary},
      {"chunked upper hex",
       Head200({"Transfer-Encoding: chunked"}) + "A\r\n0123456789\r\n0\r\n\r\n", "0123456789"},
      {"chunk extensions",
       Head200({"Transfer-Encoding: chunked"}) +
           "5;name=v\r\nhello\r\n6 ; x\r\n world\r\n0;end\r\n\r\n",
       "hello world"},
      {"trailers", Head200({"Transfer-Encoding: chunked"}) + "3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n",
       "abc"},
      {"204 ignores its length", HttpHead("HTTP/1.1 204 No Content", {"Content-Length: 5"}), ""},
      {"coding names ignore case", Head200({"Transfer-Encoding: Chunked"}) + "2\r\nok\r\n0\r\n\r\n",
       "ok"},
      // Chunks win over a Content-Length, and a connection whose answer was framed two ways
      // is not trusted with the next one: the rest could be a response planted by anyone on
      // the path.
      {"chunked over content-length",
       Head200({"Content-Length: 5", "Transfer-Encoding: chunked"}) + "5\r\nhello\r\n0\r\n\r\n",
       "hello", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The second answer on the same connection proves the first left nothing behind.
    std::string after = c.body.empty() && std::string(c.name).find("204") != std::string::npos
                            ? std::string()
                            : HttpResponse("HTTP/1.1 200 OK", "next");
    std::vector<Reply> replies = {{c.reply}};
    if (!after.empty()) replies.push_back({after});
    ScriptedServer server(ScriptedServer::Canned(replies));
    auto http = Client();
    EXPECT_EQ(Fetch(*http, server.Url("/x")), c.body);
    if (!after.empty()) {
      EXPECT_EQ(Fetch(*http, server.Url("/y")), "next");
      EXPECT_EQ(server.ConnectionCount(), c.connections);
    }
  }
}

TEST(HttpFraming, ReadToCloseKeepsEveryByteAndCutShortBodiesFail) {
  std::string body(100000, 'z');
  ScriptedServer to_close(ScriptedServer::Canned({{Head200({}) + body, /*close_after=*/true}}));
  EXPECT_EQ(Fetch(*Client(), to_close.Url("/")), body);

  // Content-Length 1000, the peer closes after 600 bytes sent in small pieces.
  ScriptedServer cut([](ScriptedConnection& c) {
    c.ReadHead();
    c.Send(Head200({"Content-Length: 1000"}));
    c.SendSlowly(std::string(600, 'p'), 7, 1);
  });
  EXPECT_THROW(Client()->Get(cut.Url("/")), ENetConnClosedGracefully);
}

TEST(HttpFraming, CloseInsideChunkFails) {
  ScriptedServer server(ScriptedServer::Canned(
      {{Head200({"Transfer-Encoding: chunked"}) + "10\r\nonly-part", true}}));
  auto http = Client();
  EXPECT_THROW(http->Get(server.Url("/")), ENetConnClosedGracefully);
}

TEST(HttpCodings, CodedBodiesAreDecodedAsTheyStreamIn) {
  std::string page;
  for (int i = 0; page.size() < 300000; ++i)
    page += "<td>row " + std::to_string(i * 7919) + "</td>";
  const std::string gzip = GzipCoded(page);
  const std::string br = BrotliCoded(page);
  struct Case {
    const char* name;
    std::string coding;  // the Content-Encoding line's value
    std::string wire;
    std::string body;  // the decoded body, or "!" and the failure's start
  } cases[] = {
      {"gzip", "gzip", gzip, page},
      {"deflate", "deflate", DeflateCoded(page), page},
      {"bare deflate", "Deflate", DeflateCoded(page, true), page},
      {"brotli", "br", br, page},
      {"x-gzip", "X-GZIP", gzip, page},
      {"applied in turn", "gzip, identity, br", BrotliCoded(GzipCoded(page)), page},
      {"two gzip members", "gzip", GzipCoded("abc") + GzipCoded("def"), "abcdef"},
      {"empty", "gzip", "", ""},
      {"identity", "identity", "plain", "plain"},
      {"unknown coding left as it came", "gzip, zstd", gzip, gzip},
      {"cut short gzip", "gzip", gzip.substr(0, gzip.size() / 2), "!gzip body cut short"},
      {"cut short brotli", "br", br.substr(0, br.size() - 3), "!Brotli body cut short"},
      {"corrupt gzip", "gzip", gzip.substr(0, 20) + std::string(500, 'x'), "!Invalid gzip body"},
      {"corrupt brotli", "br", "xx" + br, "!Invalid Brotli body"},
      {"not gzip at all", "gzip", page.substr(0, 1000), "!Invalid gzip body"},
      {"data after the end", "deflate", DeflateCoded("abc") + "z", "!Data after the end"},
      {"five codings", "gzip, gzip, gzip, gzip, gzip",
       GzipCoded(GzipCoded(GzipCoded(GzipCoded(GzipCoded("abc"))))), "abc"},
      {"six codings refused", "gzip, gzip, gzip, gzip, gzip, gzip", gzip,
       "!Too many content codings: 6 (at most 5)"},
  };
  for (const Case& c : cases) {
    for (bool chunked : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (chunked ? " chunked" : ""));
      const std::string reply =
          chunked ? Head200({"Content-Encoding: " + c.coding, "Transfer-Encoding: chunked"}) +
                        ChunkedBody(c.wire, 1000)
                  : HttpResponse("HTTP/1.1 200 OK", c.wire, {"Content-Encoding: " + c.coding});
      ScriptedServer server(
          ScriptedServer::Canned({{reply}, {HttpResponse("HTTP/1.1 200 OK", "next")}}));
      auto http = Client();
      http->SetAcceptCompression(true);
      const std::string got = Fetch(*http, server.Url("/"));
      if (c.body.starts_with("!")) {
        EXPECT_EQ(got.substr(0, c.body.size()), c.body);
        EXPECT_FALSE(http->IsConnected());
        continue;
      }
      EXPECT_TRUE(got == c.body) << got.size() << " bytes";
      // The connection carries the next answer: the coded body was read to its end.
      EXPECT_EQ(Fetch(*http, server.Url("/")), "next");
      EXPECT_EQ(server.ConnectionCount(), 1);
      EXPECT_NE(server.Heads()[0].find("\r\nAccept-Encoding: gzip, deflate, br\r\n"),
                std::string::npos);
    }
  }
  // An error page that does not decode still fails with its status.
  ScriptedServer broken(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 404 Not Found", "not gzip", {"Content-Encoding: gzip"})}}));
  auto http = Client();
  http->SetAcceptCompression(true);
  EXPECT_EQ(Fetch(*http, broken.Url("/")), "!HTTP/1.1 404 Not Found");
  // Off, nothing is asked for and a coded body passes as it came.
  ScriptedServer server(ScriptedServer::Canned(
      {{HttpResponse("HTTP/1.1 200 OK", gzip, {"Content-Encoding: gzip"})}}));
  EXPECT_TRUE(Fetch(*Client(), server.Url("/")) == gzip);
  EXPECT_EQ(server.Heads()[0].find("Accept-Encoding"), std::string::npos);
}

TEST(HttpStatus, InterimHeadsAndOddStatusLines) {
  ScriptedServer interim(ScriptedServer::Canned(
      {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n" +
        HttpResponse("HTTP/1.1 200 OK", "done")}}));
  auto http = Client();
  EXPECT_EQ(Fetch(*http, interim.Url("/")), "done");
  EXPECT_EQ(http->ResponseCode(), 200);

  ScriptedServer garbage(ScriptedServer::Canned({{"SPEAK FRIEND\r\n\r\nbody", true}}));
  try {
    Client()->Get(garbage.Url("/"));
    ADD_FAILURE() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode(), -1);
    EXPECT_EQ(e.Message(), "SPEAK FRIEND");
  }
}

// What a status line and a Location ask for, judged from the record alone (no peer needed).
TEST(HttpStatus, AnswersAreJudgedByCodeAndLocation) {
  using A = TNetHTTPAnswer;
  struct Row {
    const char* status_line;
    const char* location;
    int code;
    A answer;
  };
  const Row rows[] = {
      {"HTTP/1.1 200 OK", "", 200, A::Success},
      {"HTTP/1.1 204 No Content", "", 204, A::Success},
      {"HTTP/1.1 200 OK", "/elsewhere", 200, A::Redirect},
      {"HTTP/1.0 302 Found", "", 302, A::Redirect},
      {"HTTP/1.1 304 Not Modified", "", 304, A::Failure},
      {"HTTP/1.1 304 Not Modified", "/x", 304, A::Redirect},
      {"HTTP/1.1 401 Unauthorized", "", 401, A::Challenge},
      {"HTTP/1.1 407 Proxy Authentication Required", "", 407, A::ProxyChallenge},
      {"HTTP/1.1   503   Busy", "", 503, A::Failure},
      {"SPEAK FRIEND", "", -1, A::Failure},
  };
  TNetHTTP http;
  TNetHTTPProtocol protocol(&http);
  for (const Row& row : rows) {
    protocol.Response().SetResponseText(row.status_line);
    protocol.Response().SetLocation(row.location);
    EXPECT_EQ(protocol.Response().StatusCode(), row.code) << row.status_line;
    EXPECT_EQ(protocol.Classify(), row.answer) << row.status_line;
  }
}

TEST(HttpStatus, ErrorStatusCarriesBodyAndKeepsConnection) {
  ScriptedServer server(
      ScriptedServer::Canned({{HttpResponse("HTTP/1.1 404 Not Found", "<html>gone</html>")},
                              {HttpResponse("HTTP/1.1 200 OK", "ok")}}));
  auto http = Client();
  try {
    http->Get(server.Url("/missing"));
    ADD_FAILURE() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode(), 404);
    EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(e.ErrorBody(), "<html>gone</html>");
  }
  EXPECT_EQ(Fetch(*http, server.Url("/ok")), "ok");
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(HttpStatus, HeadAnswersCarryNoBody) {
  std::string head = HttpHead("HTTP/1.1 200 OK", {"Content-Length: 5000"});
  ScriptedServer server(ScriptedServer::Canned(
      {{head}, {HttpHead("HTTP/1.1 404 Not Found", {"Content-Length: 10"})}, {head}}));
  auto http = Client();
  TMemoryStream body;
  http->PerformRequest(hmHead, server.Url("/h"), &body, nullptr);
  EXPECT_EQ(http->Response().ContentLength(), 5000);
  EXPECT_THROW(http->PerformRequest(hmHead, server.Url("/none"), &body, nullptr),
               ENetHTTPProtocolException);
  http->PerformRequest(hmHead, server.Url("/h"), &body, nullptr);
  EXPECT_EQ(body.Size(), 0);
  EXPECT_EQ(server.ConnectionCount(), 1);
  EXPECT_EQ(server.RequestLines()[0], "HEAD /h HTTP/1.1");
}

TEST(HttpStatus, SuccessWhoseConnectionClosedIsUndefined) {
  ScriptedServer server(
      ScriptedServer::Canned({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", true}}));
  EXPECT_EQ(Fetch(*Client(), server.Url("/")), "!Undefined situation");
}

TEST(HttpStatus, SilentPeerTimesOut) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.ReadHead();
    c.Pause(5000);
  });
  auto http = Client();
  http->SetReadTimeout(150);
  EXPECT_THROW(http->Get(server.Url("/")), ENetReadTimeout);
}

TEST(HttpKeepAlive, ProtocolVersionDecidesReuse) {
  struct Case {
    TNetHTTPProtocolVersion version;
    const char* connection;  // the server's Connection header, or ""
    int connections;
  } cases[] = {{pv1_0, "keep-alive", 1}, {pv1_0, "", 2}, {pv1_1, "", 1}, {pv1_1, "close", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version == pv1_0 ? "1.0 " : "1.1 ") + c.connection);
    std::vector<std::string> extra;
    if (*c.connection) extra.push_back(std::string("Connection: ") + c.connection);
    std::string reply = HttpResponse("HTTP/1.1 200 OK", "x", extra);
    ScriptedServer server(ScriptedServer::Canned({{reply}, {reply}, {reply}}));
    auto http = Client();
    http->SetProtocolVersion(c.version);
    EXPECT_EQ(Fetch(*http, server.Url("/a")), "x");
    EXPECT_EQ(Fetch(*http, server.Url("/b")), "x");
    EXPECT_EQ(server.ConnectionCount(), c.connections);
    if (c.version == pv1_0) {
      EXPECT_NE(server.Heads()[0].find("GET /a HTTP/1.0\r\n"), std::string::npos);
      EXPECT_NE(server.Heads()[0].find("\r\nConnection: keep-alive\r\n"), std::string::npos);
    }
  }
}

// ---------------------------------------------------------------------------------------------

std::string Redirect(const std::string& location, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> headers = extra;
  headers.push_back("Location: " + location);
  return HttpResponse("HTTP/1.1 302 Found", "moved", headers);
}

TEST(HttpRedirect, RelativeLocationsResolveAgainstThePreviousRequest) {
  // A "://" inside the query names no host: the location stays relative. "?q" keeps the last
  // segment, dot segments go, tabs go, spaces and UTF-8 are percent-encoded, "?" after "#" is
  // no query.
  ScriptedServer server(ScriptedServer::Canned({{Redirect("/b/c.htm")},
                                                {Redirect("d.htm")},
                                                {Redirect("../e.htm?q=/x")},
                                                {Redirect("/f?u=http://elsewhere.invalid/z")},
                                                {Redirect("g?u=http://elsewhere.invalid/z")},
                                                {Redirect("?a=b")},
                                                {Redirect("/h/../i/./j")},
                                                {Redirect("/s p/\xE8\xB7\xAF\t")},
                                                {Redirect("k#frag?x=1")},
                                                {HttpResponse("HTTP/1.1 200 OK", "end")}}));
  auto http = Client();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, server.Url("/a/start.htm")), "end");
  EXPECT_EQ(server.RequestLines(),
            (std::vector<std::string>{
                "GET /a/start.htm HTTP/1.1", "GET /b/c.htm HTTP/1.1", "GET /b/d.htm HTTP/1.1",
                "GET /e.htm?q=/x HTTP/1.1", "GET /f?u=http://elsewhere.invalid/z HTTP/1.1",
                "GET /g?u=http://elsewhere.invalid/z HTTP/1.1", "GET /g?a=b HTTP/1.1",
                "GET /i/j HTTP/1.1", "GET /s%20p/%E8%B7%AF HTTP/1.1", "GET /s%20p/k HTTP/1.1"}));
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(HttpRedirect, AnotherHostKeepsAnUnusualPortAndReconnects) {
  ScriptedServer server(ScriptedServer::Canned(
      {{Redirect("http://localhost/next")}, {HttpResponse("HTTP/1.1 200 OK", "there")}}));
  auto http = Client();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, server.Url("/")), "there");
  EXPECT_EQ(server.ConnectionCount(), 2);
  ASSERT_EQ(server.Heads().size(), 2u);
  EXPECT_NE(server.Heads()[1].find("\r\nHost: localhost:" + std::to_string(server.Port())),
            std::string::npos);

  ScriptedServer second(ScriptedServer::Canned({{HttpResponse("HTTP/1.1 200 OK", "second")}}));
  ScriptedServer first(ScriptedServer::Canned({{Redirect(second.Url("/p"))}}));
  EXPECT_EQ(Fetch(*http, first.Url("/")), "second");
  EXPECT_EQ(second.RequestLines(), std::vector<std::string>{"GET /p HTTP/1.1"});
}

TEST(HttpRedirect, ChainLimitEndsQuietly) {
  for (int chain : {14, 16}) {
    SCOPED_TRACE(chain);
    std::vector<Reply> replies;
    for (int i = 1; i <= chain; ++i) replies.push_back({Redirect("/r" + std::to_string(i))});
    replies.push_back({HttpResponse("HTTP/1.1 200 OK", "final")});
    ScriptedServer server(ScriptedServer::Canned(replies));
    auto http = Client();
    http->SetHandleRedirects(true);
    TMemoryStream body;
    http->Get(server.Url("/r0"), &body);
    if (chain == 14) {
      EXPECT_EQ(body.DataString(), "final");
    } else {
      EXPECT_EQ(body.Size(), 0);  // the 15th answer is returned as it is
      EXPECT_EQ(http->ResponseCode(), 302);
      EXPECT_EQ(http->Response().Location(), "/r15");
      EXPECT_EQ(server.RequestLines().size(), 15u);
    }
    EXPECT_EQ(http->RedirectCount(), 0);
  }
}

TEST(HttpRedirect, DecisionsAndEvents) {
  // Off: the redirect is an error; a 200 with a Location counts as a redirect too.
  ScriptedServer off(ScriptedServer::Canned({{Redirect("/x")}}));
  auto http = Client();
  try {
    http->Get(off.Url("/"));
    ADD_FAILURE() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_EQ(e.ReplyCode(), 302);
    EXPECT_EQ(e.ErrorBody(), "moved");
  }
  // The failed request's count is not carried into the next request (its redirects count
  // from 1 below).
  std::string ok_located = HttpResponse("HTTP/1.1 200 OK", "a", {"Location: /b"});
  ScriptedServer ok_with_location(
      ScriptedServer::Canned({{ok_located}, {ok_located}, {HttpResponse("HTTP/1.1 200 OK", "b")}}));
  std::vector<int> counts;
  http->OnRedirect = [&](TNetCustomHTTP*, std::string& dest, int& n, bool& handled,
                         TNetHTTPMethod& method) {
    counts.push_back(n);
    EXPECT_EQ(method, hmGet);
    dest = "/c";  // the handler may change the target
    handled = true;
  };
  // Not following, a handled redirect is the answer itself (its body drained).
  EXPECT_EQ(Fetch(*http, ok_with_location.Url("/a")), "");
  EXPECT_EQ(http->Response().Location(), "/c");
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, ok_with_location.Url("/a")), "b");
  EXPECT_EQ(counts, (std::vector<int>{1, 1}));
  EXPECT_EQ(ok_with_location.RequestLines().back(), "GET /c HTTP/1.1");
}

TEST(HttpRedirect, CookiesSetOnARedirectComeBackOnTheNextHop) {
  ScriptedServer server(ScriptedServer::Canned(
      {{Redirect("/two", {"Set-Cookie: sid=42; path=/", "set-cookie: b=7; path=/"})},
       {HttpResponse("HTTP/1.1 200 OK", "in")}}));
  auto http = Client();
  http->SetHandleRedirects(true);
  http->Request().CustomHeaders().SetText("Cookie: ");
  EXPECT_EQ(Fetch(*http, server.Url("/one")), "in");
  ASSERT_EQ(server.Heads().size(), 2u);
  const std::string second = server.Heads()[1];
  EXPECT_NE(second.find("\r\nCookie: b=7; sid=42\r\n"), std::string::npos) << second;
  EXPECT_EQ(second.find("Cookie: \r\n"), std::string::npos);
  EXPECT_TRUE(http->OwnsCookieManager());
}

TEST(HttpRedirect, ToHttpsWithoutTlsHandlerFailsAfterReadingTheRedirect) {
  ScriptedServer server(ScriptedServer::Canned({{Redirect("https://127.0.0.1/s")}}));
  auto http = Client();
  http->SetHandleRedirects(true);
  EXPECT_EQ(Fetch(*http, server.Url("/")), "!IOHandler value is not valid");
  EXPECT_EQ(server.Heads().size(), 1u);
}

// ---------------------------------------------------------------------------------------------

TEST(HttpLimits, OversizedHeadsFail) {
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < kNetMaxHeaderLines + 10; ++i) many += "X-Pad: " + std::to_string(i) + "\r\n";
  std::string wide = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 80; ++i) wide += "X-Wide: " + std::string(16000, 'w') + "\r\n";
  std::string interims;
  for (int i = 0; i < kNetMaxHeaderLines; ++i) interims += "HTTP/1.1 100 Continue\r\n\r\n";
  for (const std::string& reply : {many, wide, interims}) {
    ScriptedServer server(ScriptedServer::Canned({{reply + "\r\n", true}}));
    EXPECT_EQ(Fetch(*Client(), server.Url("/")), std::string("!") + kNetResponseHeadTooLarge);
  }
}

TEST(HttpLimits, OversizedBodiesFailWithoutTakingTheMemory) {
  std::string too_big = "!" + std::string(kNetResponseBodyTooLarge);
  TNetHTTPLimits small;
  small.MaxBodyBytes = 1000;
  std::string body(1001, 'b');
  // Announced sizes beyond the limit are read up to it and fail there, what came up to the limit
  // kept (the peer's number is no allocation size).
  for (const std::string& head :
       {Head200({"Content-Length: 999999999999999"}),
        Head200({"Transfer-Encoding: chunked"}) + "FFFFFFFFFFFFFFFFFFFFFF\r\n"}) {
    ScriptedServer announced(ScriptedServer::Canned({{head + body + body}}));
    auto http = Client();
    http->SetLimits(small);
    TMemoryStream out;
    EXPECT_THROW(http->Get(announced.Url("/"), &out), ENetHTTPLimitExceeded);
    EXPECT_EQ(out.DataString(), body.substr(0, 1000));
  }

  // Bodies that really run past a (lowered) limit, in every framing, also on redirects.
  std::vector<std::string> replies = {
      HttpResponse("HTTP/1.1 200 OK", body), Head200({}) + body,
      Head200({"Transfer-Encoding: chunked"}) + ChunkedBody(body, 300),
      HttpResponse("HTTP/1.1 500 Oops", body)};
  for (const std::string& reply : replies) {
    ScriptedServer server(ScriptedServer::Canned({{reply, true}}));
    auto http = Client();
    http->SetLimits(small);
    EXPECT_EQ(Fetch(*http, server.Url("/")), too_big);
    EXPECT_FALSE(http->IsConnected());
  }
  // A redirect body that cannot be drained closes the connection; the next hop reconnects.
  auto http = Client();
  http->SetLimits(small);
  http->SetHandleRedirects(true);
  std::string big_redirect = HttpResponse("HTTP/1.1 302 Found", body, {"Location: /next"});
  ScriptedServer drained(
      ScriptedServer::Canned({{big_redirect}, {HttpResponse("HTTP/1.1 200 OK", "fresh")}}));
  EXPECT_EQ(Fetch(*http, drained.Url("/")), "fresh");
  EXPECT_EQ(drained.ConnectionCount(), 2);
}

TEST(HttpLimits, CodedBodiesAreHeldToTheLimitAsDecoded) {
  // A 1 MiB body that inflates to 1 GiB ends at the limit, having taken no more than it.
  TNetHTTPLimits limits;
  limits.MaxBodyBytes = 8 << 20;
  const std::string bomb = GzipBomb(int64_t{1} << 30);
  for (bool chunked : {false, true}) {
    const std::string reply =
        chunked ? Head200({"Content-Encoding: gzip", "Transfer-Encoding: chunked"}) +
                      ChunkedBody(bomb, 4096)
                : HttpResponse("HTTP/1.1 200 OK", bomb, {"Content-Encoding: gzip"});
    ScriptedServer server(ScriptedServer::Canned({{reply}}));
    auto http = Client();
    http->SetAcceptCompression(true);
    http->SetLimits(limits);
    TMemoryStream out;
    EXPECT_THROW(http->Get(server.Url("/"), &out), ENetHTTPLimitExceeded);
    EXPECT_LE(out.Size(), limits.MaxBodyBytes);
    EXPECT_GT(out.Size(), limits.MaxBodyBytes - kNetDecodeBlockBytes);
    EXPECT_GT(http->BodyWireBytes(), 0);  // the coded bytes that inflated to the limit
    EXPECT_FALSE(http->IsConnected());
  }
}

TEST(HttpLimits, TricklingPeerMeetsTheWholeFetchDeadline) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.ReadHead();
    c.Send(Head200({"Content-Length: 100000"}));
    while (c.Pause(20) && c.Send("t")) {
    }
  });
  auto http = Client();
  TNetHTTPLimits limits;
  limits.FetchDeadlineMs = 400;  // every single read is far quicker than ReadTimeout
  http->SetLimits(limits);
  EXPECT_THROW(http->Get(server.Url("/")), ENetReadTimeout);

  // Endless 1-byte chunks, sent as fast as they are taken: no wait ever runs out, yet the
  // deadline ends the fetch long before the body limit would.
  std::string chunks;
  for (int i = 0; i < 4096; ++i) chunks += "1\r\nx\r\n";
  ScriptedServer endless([&](ScriptedConnection& c) {
    c.ReadHead();
    c.Send(Head200({"Transfer-Encoding: chunked"}));
    while (c.Send(chunks)) {
    }
  });
  EXPECT_EQ(Fetch(*http, endless.Url("/")), "!Read Timeout");
}

}  // namespace
