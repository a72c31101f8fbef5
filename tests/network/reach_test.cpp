// Proxy settings, the tunnels' parsers and state machines, the order of happy eyeballs, and the
// lookup pool's and connector's contracts on loopback.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <vector>

#include "network/connector.h"
#include "network/deadline.h"
#include "network/lookup_pool.h"
#include "network/proxy_config.h"
#include "network/tunnel_connect.h"
#include "network/tunnel_socks5.h"

using namespace mirelo::services::network;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

TEST(ProxyUrl, Parsed) {
  struct Case {
    const char* text;
    bool ok;
    Route::Kind kind;
    const char* host;
    const char* port;
    const char* user;
    const char* password;
  };
  const Case cases[] = {
      {"http://proxy.example.test:3128", true, Route::Kind::connect, "proxy.example.test", "3128", "", ""},
      {"proxy.example.test", true, Route::Kind::connect, "proxy.example.test", "1080", "", ""},
      {"HTTP://p:8080/", true, Route::Kind::connect, "p", "8080", "", ""},
      {"socks5://10.0.0.1:1081", true, Route::Kind::socks5, "10.0.0.1", "1081", "", ""},
      {"socks5h://[::1]:1081", true, Route::Kind::socks5h, "::1", "1081", "", ""},
      {"http://us%40er:p%3Aw%2F%25d@p:1", true, Route::Kind::connect, "p", "1", "us@er", "p:w/%d"},
      {"http://user@p:1", true, Route::Kind::connect, "p", "1", "user", ""},
      {"  http://p:1  ", true, Route::Kind::connect, "p", "1", "", ""},
      {"https://p:1", false, {}, "", "", "", ""},
      {"socks4://p:1", false, {}, "", "", "", ""},
      {"socks://p:1", false, {}, "", "", "", ""},  // only GIO's "socks" is known
      {"http://p:0", false, {}, "", "", "", ""},
      {"http://p:65536", false, {}, "", "", "", ""},
      {"http://p:8a", false, {}, "", "", "", ""},
      {"http://p:1/path", false, {}, "", "", "", ""},
      {"http://:1", false, {}, "", "", "", ""},
      {"http://[::1:1", false, {}, "", "", "", ""},
      {"http://[nothex]:1", false, {}, "", "", "", ""},
      {"http://u:%zz@p:1", false, {}, "", "", "", ""},
      {"http://u:%2@p:1", false, {}, "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto route = proxy::parseProxyUrl(c.text);
    ASSERT_EQ(route.has_value(), c.ok);
    if (!route) continue;
    EXPECT_EQ(route->kind, c.kind);
    EXPECT_EQ(route->host, c.host);
    EXPECT_EQ(route->port, c.port);
    EXPECT_EQ(route->user, c.user);
    EXPECT_EQ(route->password, c.password);
    EXPECT_EQ(route->credentials, *c.user != 0);
  }
  // GIO's SOCKS entries send the name to the proxy, as GIO's own client does.
  EXPECT_EQ(proxy::parseProxyUrl("socks://p:1", true)->kind, Route::Kind::socks5h);
  EXPECT_EQ(proxy::parseProxyUrl("socks5://p:1", true)->kind, Route::Kind::socks5h);
  EXPECT_FALSE(proxy::parseProxyUrl("socks5h://p:1", true));
}

TEST(NoProxy, CurlRules) {
  struct Case {
    const char* list;
    const char* host;
    bool exempt;
  };
  const Case cases[] = {
      {"example.test", "example.test", true},
      {"example.test", "api.example.test", true},
      {".example.test", "api.example.test", true},
      {".example.test", "example.test", true},
      {"example.test", "badexample.test", false},
      {"example.test", "example.test.evil", false},
      {"EXAMPLE.test", "Api.Example.TEST.", true},
      {"a.test, b.test ,c.test", "x.b.test", true},
      {"a.test,,", "b.test", false},
      {"*", "anything", true},
      {"a.test,*", "anything", true},
      {"*.example.test", "api.example.test", false},  // curl takes no wildcard but "*" alone
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"10.0.0.0/8", "10.2.3.4", true},
      {"10.0.0.0/8", "11.2.3.4", false},
      {"::1", "::1", true},
      {"[::1]", "::1", true},
      {"fd00::/8", "fd12::5", true},
      {"fd00::/8", "fe80::1", false},
      {"127.0.0.1", "localhost", false},  // names are not looked up
      {"0.0.0.1", "::1", false},
      {"", "a.test", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.host);
    EXPECT_EQ(proxy::noProxyMatches(c.list, c.host), c.exempt);
  }
}

TEST(EnvironmentRoutes, HttpsThenAllThenNoProxy) {
  setenv("all_proxy", "socks5h://all.test:1", 1);
  setenv("NO_PROXY", "inside.test", 1);
  unsetenv("https_proxy");
  unsetenv("HTTPS_PROXY");
  unsetenv("no_proxy");
  unsetenv("ALL_PROXY");
  auto env = proxy::Environment::fromProcess();
  EXPECT_EQ(env.routesFor("a.test").list.at(0).kind, Route::Kind::socks5h);
  EXPECT_TRUE(env.routesFor("x.inside.test").list.at(0).direct());
  setenv("HTTPS_PROXY", "http://upper.test:2", 1);
  EXPECT_EQ(proxy::Environment::fromProcess().routesFor("a.test").list.at(0).host, "upper.test");
  setenv("https_proxy", "http://lower.test:3", 1);
  EXPECT_EQ(proxy::Environment::fromProcess().routesFor("a.test").list.at(0).host, "lower.test");
  setenv("https_proxy", "ftp://odd.test", 1);
  const auto refused = proxy::Environment::fromProcess().routesFor("a.test");
  EXPECT_TRUE(refused.list.empty());
  EXPECT_EQ(refused.failure, "proxy setting not understood: https_proxy");
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "NO_PROXY"}) unsetenv(name);
  EXPECT_TRUE(proxy::Environment::fromProcess().routesFor("a.test").list.at(0).direct());
}

TEST(GioUris, InOrderUnknownSkipped) {
  const auto routes = proxy::routesFromUris({"socks4://p:1", "http://u:p%40ss@h:3128", "socks://s:1080", "direct://"});
  ASSERT_EQ(routes.list.size(), 3u);
  EXPECT_EQ(routes.list[0].kind, Route::Kind::connect);
  EXPECT_EQ(routes.list[0].password, "p@ss");
  EXPECT_EQ(routes.list[1].kind, Route::Kind::socks5h);
  EXPECT_TRUE(routes.list[2].direct());
  EXPECT_FALSE(proxy::routesFromUris({"https://p:1", "socks4a://p:2"}).failure.empty());
  EXPECT_FALSE(proxy::routesFromUris({"p:1"}).failure.empty());  // GIO always names a scheme
}

TEST(RouteKey, TellsRoutesApart) {
  auto a = *proxy::parseProxyUrl("http://u:p@h:1");
  auto b = *proxy::parseProxyUrl("http://u:q@h:1");
  auto c = *proxy::parseProxyUrl("socks5h://u:p@h:1");
  EXPECT_NE(a.key(), b.key());
  EXPECT_NE(a.key(), c.key());
  EXPECT_NE(a.key(), Route{}.key());
  EXPECT_EQ(a.name(), "h:1");
  EXPECT_EQ(proxy::parseProxyUrl("http://[::1]:1")->name(), "[::1]:1");
}

TEST(ConnectTunnel, Request) {
  Route route = *proxy::parseProxyUrl("http://us%3Aer:p%20w@p:1");
  EXPECT_EQ(connect_tunnel::request("::1", "8443", route),
            "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\nProxy-Authorization: Basic dXM6ZXI6cCB3\r\n"
            "User-Agent: Mirelo/0.3.0\r\n\r\n");
  EXPECT_EQ(connect_tunnel::request("a.test", "443", Route{}),
            "CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\nUser-Agent: Mirelo/0.3.0\r\n\r\n");
}

TEST(ConnectTunnel, Heads) {
  using State = connect_tunnel::Head::State;
  struct Case {
    std::string bytes;
    State state;
    size_t length;
    int status;
    std::string refusal;
  };
  const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
  const Case cases[] = {
      {ok, State::complete, ok.size(), 200, ""},
      {ok + "\x16\x03\x01", State::complete, ok.size(), 200, ""},  // what follows is TLS's
      {"HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\n", State::complete, 39, 200, ""},
      {"HTTP/1.1 204\r\n\r\n", State::complete, 16, 204, ""},
      {"HTTP/1.1 200 OK\n\n", State::complete, 17, 200, ""},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", State::complete, 73, 407,
       "proxy refused the tunnel: 407 Proxy Authentication Required"},
      {"HTTP/1.1 403 Fo\x01rbidden\r\n\r\n", State::complete, 27, 403, "proxy refused the tunnel: 403 Fo?rbidden"},
      {"HTTP/1.1 502\r\n\r\n", State::complete, 16, 502, "proxy refused the tunnel: 502"},
      {"HTTP/1.1 200 Connection", State::incomplete, 0, 0, ""},
      {"HTTP/1.1 200 OK\r\n\r", State::incomplete, 0, 0, ""},
      {"", State::incomplete, 0, 0, ""},
      {"SSH-2.0-x\r\n\r\n", State::malformed, 0, 0, ""},
      {"HTTP/1.1 20 OK\r\n\r\n", State::malformed, 0, 0, ""},
      {"HTTP/1.1 2000 OK\r\n\r\n", State::malformed, 0, 0, ""},
      {"HTTP/1.1 099 x\r\n\r\n", State::malformed, 0, 0, ""},
      {"HTTP/2 200\r\n\r\n", State::malformed, 0, 0, ""},
      {"HTTP/1.1 200 OK\r\n" + std::string(connect_tunnel::kMaxHead, 'x'), State::tooLong, 0, 0, ""},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(connect_tunnel::kMaxHead, 'x') + "\r\n\r\n", State::tooLong, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 60));
    const auto head = connect_tunnel::parseHead(c.bytes);
    EXPECT_EQ(head.state, c.state);
    if (c.state != State::complete) continue;
    EXPECT_EQ(head.length, c.length);
    EXPECT_EQ(head.status, c.status);
    EXPECT_EQ(connect_tunnel::refusal(head), c.refusal);
  }
}

namespace {

// Runs a SOCKS5 exchange against scripted answers; returns what was written and the end.
std::pair<std::string, socks5::Step> exchange(const Route& route, const std::string& host,
                                              const std::vector<std::string>& answers) {
  socks5::Handshake handshake(route, host, 443);
  std::string written;
  socks5::Step step = handshake.start();
  for (const auto& answer : answers) {
    if (step.what != socks5::Step::What::exchange) break;
    written += step.data;
    EXPECT_EQ(answer.size(), step.read);
    step = handshake.received(answer);
  }
  return {written, step};
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

}  // namespace

TEST(Socks5, NoAuthWithName) {
  Route route = *proxy::parseProxyUrl("socks5h://p:1");
  auto [written, end] =
      exchange(route, "api.example.test", {bytes({5, 0}), bytes({5, 0, 0, 1, 127}), bytes({0, 0, 1, 0x1f, 0x90})});
  EXPECT_EQ(end.what, socks5::Step::What::open);
  EXPECT_EQ(written, bytes({5, 1, 0}) + bytes({5, 1, 0, 3, 16}) + "api.example.test" + bytes({1, 0xbb}));
}

TEST(Socks5, PasswordAndIpv6) {
  Route route = *proxy::parseProxyUrl("socks5://us%3Aer:p%40ss@p:1");
  auto [written, end] =
      exchange(route, "::1", {bytes({5, 2}), bytes({1, 0}), bytes({5, 0, 0, 4, 0}), std::string(17, '\0')});
  EXPECT_EQ(end.what, socks5::Step::What::open);
  std::string v6(16, '\0');
  v6[15] = 1;
  EXPECT_EQ(written, bytes({5, 2, 0, 2}) + bytes({1, 5}) + "us:er" + bytes({4}) + "p@ss" + bytes({5, 1, 0, 4}) + v6 +
                         bytes({1, 0xbb}));
  // A domain in the reply is read to its end.
  auto [unused, named] = exchange(route, "10.1.2.3", {bytes({5, 0}), bytes({5, 0, 0, 3, 3}), "abc" + bytes({0, 1})});
  EXPECT_EQ(named.what, socks5::Step::What::open);
}

TEST(Socks5, Failures) {
  Route plain = *proxy::parseProxyUrl("socks5h://p:1");
  Route withPassword = *proxy::parseProxyUrl("socks5h://u:pw@p:1");
  struct Case {
    const Route& route;
    std::vector<std::string> answers;
    std::string failure;
  };
  const Case cases[] = {
      {plain, {bytes({5, 0xff})}, "SOCKS5 proxy p:1: wants a user name and password"},
      {withPassword, {bytes({5, 0xff})}, "SOCKS5 proxy p:1: accepts none of our authentication methods"},
      {plain, {bytes({5, 2})}, "SOCKS5 proxy p:1: chose a method we did not offer"},
      {plain, {bytes({4, 0})}, "SOCKS5 proxy p:1: not a SOCKS5 answer"},
      {withPassword, {bytes({5, 2}), bytes({1, 1})}, "SOCKS5 proxy p:1: refused the user name and password"},
      {plain, {bytes({5, 0}), bytes({5, 5, 0, 1, 0})}, "SOCKS5 proxy p:1: connection refused"},
      {plain, {bytes({5, 0}), bytes({5, 2, 0, 1, 0})}, "SOCKS5 proxy p:1: connection not allowed by ruleset"},
      {plain, {bytes({5, 0}), bytes({5, 4, 0, 1, 0})}, "SOCKS5 proxy p:1: host unreachable"},
      {plain, {bytes({5, 0}), bytes({5, 99, 0, 1, 0})}, "SOCKS5 proxy p:1: unknown reply 99"},
      {plain, {bytes({5, 0}), bytes({5, 0, 0, 9, 0})}, "SOCKS5 proxy p:1: answered with an unknown address type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    auto [written, end] = exchange(c.route, "a.test", c.answers);
    EXPECT_EQ(end.what, socks5::Step::What::failed);
    EXPECT_EQ(end.failure, c.failure);
  }
  auto [written, tooLong] = exchange(plain, std::string(256, 'a'), {bytes({5, 0})});
  EXPECT_EQ(tooLong.what, socks5::Step::What::failed);
}

TEST(HappyEyeballs, InterleavedIpv6First) {
  const auto v4a = tcp::endpoint(asio::ip::make_address("10.0.0.1"), 1);
  const auto v4b = tcp::endpoint(asio::ip::make_address("10.0.0.2"), 1);
  const auto v6a = tcp::endpoint(asio::ip::make_address("fd00::1"), 1);
  const auto v6b = tcp::endpoint(asio::ip::make_address("fd00::2"), 1);
  EXPECT_EQ(interleaved({v4a, v4b, v6a, v6b}), (Endpoints{v6a, v4a, v6b, v4b}));
  EXPECT_EQ(interleaved({v6a, v6b, v4a}), (Endpoints{v6a, v4a, v6b}));
  EXPECT_EQ(interleaved({v4a, v4b}), (Endpoints{v4a, v4b}));
}

TEST(LookupPool, CancelledLookupNeverAnswers) {
  asio::io_context ioc;
  LookupPool pool(2);
  int answered = 0;
  auto job = pool.lookup("localhost", "1", ioc.get_executor(), [&](auto, auto) { ++answered; });
  LookupPool::cancel(job);
  Endpoints literal;
  pool.lookup("::1", "443", ioc.get_executor(), [&](auto ec, Endpoints endpoints) {
    EXPECT_FALSE(ec);
    literal = std::move(endpoints);
  });
  asio::steady_timer wait(ioc, std::chrono::milliseconds(300));
  wait.async_wait([](auto) {});
  ioc.run();
  EXPECT_EQ(answered, 0);
  ASSERT_EQ(literal.size(), 1u);
  EXPECT_EQ(literal[0].port(), 443);
  EXPECT_LE(pool.threads(), 2u);
}

TEST(Connector, RefusedAddressGivesWayToTheNext) {
  // localhost is ::1 and 127.0.0.1; only the IPv4 one listens, so ::1 (tried first) is refused.
  asio::io_context ioc;
  tcp::acceptor acceptor(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = std::to_string(acceptor.local_endpoint().port());
  LookupPool pool(2);
  boost::system::error_code result = asio::error::would_block;
  tcp::endpoint reached;
  auto start = std::chrono::steady_clock::now();
  auto connector = Connector::start(ioc.get_executor(), pool, "localhost", port, std::chrono::seconds(5),
                                    [&](auto ec, tcp::socket socket) {
                                      result = ec;
                                      if (!ec) reached = socket.remote_endpoint();
                                    });
  ioc.run();
  EXPECT_FALSE(result) << result.message();
  EXPECT_EQ(reached.address().to_string(), "127.0.0.1");
  EXPECT_LT(std::chrono::steady_clock::now() - start, Connector::kAttemptDelay * 4);

  // A port nobody listens on: the last error.
  acceptor.close();
  ioc.restart();
  Connector::start(ioc.get_executor(), pool, "127.0.0.1", port, std::chrono::seconds(5),
                   [&](auto ec, tcp::socket) { result = ec; });
  ioc.run();
  EXPECT_EQ(result, asio::error::connection_refused);

  // Cancelled: never answers.
  ioc.restart();
  int answered = 0;
  auto cancelled = Connector::start(ioc.get_executor(), pool, "localhost", port, std::chrono::seconds(5),
                                    [&](auto, auto) { ++answered; });
  cancelled->cancel();
  ioc.run();
  EXPECT_EQ(answered, 0);
}

// The connection deadline: moving it later only notes the time (the timer fires early and waits
// again), moving it earlier re-arms, clearing stops it, and a deadline destroyed with its wait
// pending never calls back.
TEST(Deadline, ExpiresAtTheLatestTimeSetAndNeverWhenCleared) {
  using Clock = Deadline::Clock;
  using std::chrono::milliseconds;
  asio::io_context ioc;
  const auto start = Clock::now();
  std::vector<std::pair<int, milliseconds>> fired;
  const auto note = [&](int which) {
    return [&fired, &start, which] {
      fired.emplace_back(which, std::chrono::duration_cast<milliseconds>(Clock::now() - start));
    };
  };
  Deadline later(ioc), earlier(ioc), cleared(ioc);
  later.set(start + milliseconds(20), note(1));
  later.set(start + milliseconds(120));  // later: noted, the first wait fires and waits again
  earlier.set(start + milliseconds(200), note(2));
  earlier.set(start + milliseconds(60));  // earlier: re-armed
  cleared.set(start + milliseconds(30), note(3));
  cleared.clear();
  {
    Deadline gone(ioc);
    gone.set(start + milliseconds(10), note(4));
  }
  ioc.run();
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_EQ(fired[0].first, 2);
  EXPECT_GE(fired[0].second, milliseconds(60));
  EXPECT_LT(fired[0].second, milliseconds(120));
  EXPECT_EQ(fired[1].first, 1);
  EXPECT_GE(fired[1].second, milliseconds(120));
}
