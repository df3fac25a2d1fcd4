// Round trips of CurlHttpClient against the loopback test server (HTTP and HTTPS, connections
// reused), from an awaiting coroutine on an io_context as the model thread would.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "platform/CurlHttpClient.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestCertificates.h"

namespace {

namespace asio = boost::asio;
using namespace quorvin;

void roundTrips(benchmark::State& state, bool tls) {
  test::TestCertificates certs;
  std::optional<test::LoopbackHttpServer> server;
  if (tls) {
    server.emplace(certs);
  } else {
    server.emplace();
  }
  std::string body(static_cast<size_t>(state.range(0)), 'x');
  server->route("GET", "/b", [&body](const test::TestHttpRequest&) { return test::TestHttpReply{200, {}, body}; });
  CurlHttpClient client(CurlHttpClient::Options{.caFile = certs.caFile()});
  HttpRequest request{.url = server->url("/b")};
  asio::io_context ioc;
  for (auto _ : state) {
    bool ok = false;
    asio::co_spawn(ioc, client.send(request), [&ok](std::exception_ptr, HttpResult result) { ok = result.ok(); });
    ioc.run();
    ioc.restart();
    if (!ok) state.SkipWithError("request failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HttpGet(benchmark::State& state) { roundTrips(state, false); }
void BM_HttpsGet(benchmark::State& state) { roundTrips(state, true); }
BENCHMARK(BM_HttpGet)->Arg(100)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_HttpsGet)->Arg(100)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
