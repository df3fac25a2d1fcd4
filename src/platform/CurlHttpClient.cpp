#include "platform/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/url/parse.hpp>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace quorvin {

namespace asio = boost::asio;

namespace {

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpResult failure(HttpFailure::Kind kind, std::string message) {
  HttpResult result;
  result.failure = HttpFailure{kind, std::move(message)};
  return result;
}

// Only absolute http(s) URLs with a host; anything else never reaches curl.
bool acceptableUrl(const std::string& url) {
  auto parsed = boost::urls::parse_absolute_uri(url);
  if (!parsed) return false;
  auto scheme = parsed->scheme_id();
  if (scheme != boost::urls::scheme::http && scheme != boost::urls::scheme::https) return false;
  return !parsed->encoded_host().empty();
}

bool hasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

bool acceptableMethod(std::string_view method) {
  return !method.empty() && std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

HttpFailure::Kind kindOf(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return HttpFailure::Kind::timedOut;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return HttpFailure::Kind::cannotConnect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return HttpFailure::Kind::tls;
    case CURLE_FILESIZE_EXCEEDED:
      return HttpFailure::Kind::tooLarge;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return HttpFailure::Kind::badUrl;
    default:
      return HttpFailure::Kind::other;
  }
}

}  // namespace

struct CurlHttpClient::Engine {
  // The awaiting coroutine's completion handler, type-erased (asio's any_completion_handler of
  // Boost 1.81 recurses without end when moved).
  struct Completion {
    virtual ~Completion() = default;
    virtual void operator()(HttpResult result) = 0;
  };
  template <typename Handler>
  struct CompletionOf final : Completion {
    explicit CompletionOf(Handler&& h) : handler(std::move(h)) {}
    void operator()(HttpResult result) override { std::move(handler)(std::move(result)); }
    Handler handler;
  };

  struct Transfer {
    uint64_t id = 0;
    HttpRequest request;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    HttpResponse response;
    size_t received = 0;  // header and body bytes, against the bound
    bool overBound = false;
    char errorText[CURL_ERROR_SIZE] = {};
    // The awaiting coroutine: its executor (keeping its io_context busy), its cancellation slot.
    asio::any_io_executor executor;
    asio::cancellation_slot slot;
    std::unique_ptr<Completion> handler;

    ~Transfer() {
      if (easy != nullptr) curl_easy_cleanup(easy);
      if (headerList != nullptr) curl_slist_free_all(headerList);
    }
  };

  Options options;
  CURLM* multi = nullptr;
  std::thread thread;
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> incoming;  // guarded by mutex
  std::vector<uint64_t> cancelled;                // guarded by mutex
  bool stopping = false;                          // guarded by mutex
  uint64_t nextId = 1;                            // guarded by mutex
  std::map<CURL*, std::unique_ptr<Transfer>> active;  // worker thread only

  explicit Engine(Options opts) : options(std::move(opts)) {
    globalInit();
    if (!options.caFile) {
      const char* fromEnvironment = std::getenv("QUORVIN_CA_FILE");
      if (fromEnvironment != nullptr && *fromEnvironment != '\0') options.caFile = fromEnvironment;
    }
    multi = curl_multi_init();
  }

  ~Engine() {
    if (multi != nullptr) curl_multi_cleanup(multi);
  }

  void start() {
    thread = std::thread([self = this] { self->run(); });
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    curl_multi_wakeup(multi);
    if (thread.joinable()) thread.join();
  }

  uint64_t newId() {
    std::lock_guard lock(mutex);
    return nextId++;
  }

  void submit(std::unique_ptr<Transfer> transfer) {
    {
      std::lock_guard lock(mutex);
      if (stopping) {
        complete(std::move(transfer), failure(HttpFailure::Kind::cancelled, "the HTTP client is shutting down"));
        return;
      }
      incoming.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi);
  }

  void cancel(uint64_t id) {
    {
      std::lock_guard lock(mutex);
      cancelled.push_back(id);
    }
    curl_multi_wakeup(multi);
  }

  // Hands the result to the awaiting coroutine on its own executor.
  static void complete(std::unique_ptr<Transfer> transfer, HttpResult result) {
    if (transfer->easy != nullptr) {
      curl_easy_cleanup(transfer->easy);
      transfer->easy = nullptr;
    }
    asio::any_io_executor executor = transfer->executor;
    asio::post(executor, [transfer = std::move(transfer), result = std::move(result)]() mutable {
      // The slot may only be touched on the awaiting side; a late cancel finds no transfer.
      if (transfer->slot.is_connected()) transfer->slot.clear();
      std::unique_ptr<Completion> handler = std::move(transfer->handler);
      transfer.reset();
      (*handler)(std::move(result));
    });
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (bytes > transfer->request.maxResponseBytes - std::min(transfer->received, transfer->request.maxResponseBytes)) {
      transfer->overBound = true;
      return 0;  // aborts the transfer
    }
    transfer->received += bytes;
    transfer->response.body.append(data, bytes);
    return bytes;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (bytes > transfer->request.maxResponseBytes - std::min(transfer->received, transfer->request.maxResponseBytes)) {
      transfer->overBound = true;
      return 0;
    }
    transfer->received += bytes;
    std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {
      // A new response begins (after a 100 Continue or a proxy's CONNECT answer).
      transfer->response.headers.clear();
      return bytes;
    }
    auto colon = line.find(':');
    if (colon == line.npos) return bytes;
    transfer->response.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                            std::string(trim(line.substr(colon + 1))));
    return bytes;
  }

  // Builds the easy handle; false when the request cannot be sent as asked.
  bool configure(Transfer& t) {
    t.easy = curl_easy_init();
    if (t.easy == nullptr) return false;
    CURL* e = t.easy;
    const HttpRequest& r = t.request;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<int64_t>(1, r.timeout.count())));
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(r.maxResponseBytes));
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Engine::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Engine::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_USERAGENT, options.userAgent.c_str());
    if (options.caFile) curl_easy_setopt(e, CURLOPT_CAINFO, options.caFile->c_str());
    // No CURLOPT_COOKIEFILE: the cookie engine stays off. curl keeps no response cache.

    if (r.method == "GET" && r.body.empty()) {
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (r.method == "HEAD") {
      curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
      if (r.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }

    // Without this curl waits for a 100 Continue before sending larger bodies.
    t.headerList = curl_slist_append(t.headerList, "Expect:");
    for (const auto& [name, value] : r.headers) {
      // "Name;" is curl's spelling of a header with an empty value.
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      t.headerList = curl_slist_append(t.headerList, line.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
    return true;
  }

  HttpResult resultOf(Transfer& t, CURLcode code) {
    if (t.overBound || code == CURLE_FILESIZE_EXCEEDED) {
      return failure(HttpFailure::Kind::tooLarge,
                     "the response is larger than " + std::to_string(t.request.maxResponseBytes) + " bytes");
    }
    if (code != CURLE_OK) {
      std::string message = t.errorText[0] != '\0' ? t.errorText : curl_easy_strerror(code);
      return failure(kindOf(code), std::move(message));
    }
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    t.response.status = status;
    HttpResult result;
    result.response = std::move(t.response);
    return result;
  }

  void finish(CURL* easy, HttpResult (Engine::*make)(Transfer&, CURLcode), CURLcode code) {
    auto it = active.find(easy);
    if (it == active.end()) return;
    std::unique_ptr<Transfer> transfer = std::move(it->second);
    active.erase(it);
    curl_multi_remove_handle(multi, easy);
    HttpResult result = (this->*make)(*transfer, code);
    complete(std::move(transfer), std::move(result));
  }

  HttpResult cancelledResult(Transfer&, CURLcode) {
    return failure(HttpFailure::Kind::cancelled, "the request was cancelled");
  }

  void run() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      std::vector<uint64_t> toCancel;
      bool stop;
      {
        std::lock_guard lock(mutex);
        fresh.swap(incoming);
        toCancel.swap(cancelled);
        stop = stopping;
      }
      for (auto& transfer : fresh) {
        if (!configure(*transfer)) {
          complete(std::move(transfer), failure(HttpFailure::Kind::other, "could not start a transfer"));
          continue;
        }
        CURL* easy = transfer->easy;
        active.emplace(easy, std::move(transfer));
        curl_multi_add_handle(multi, easy);
      }
      for (uint64_t id : toCancel) {
        for (auto& [easy, transfer] : active) {
          if (transfer->id == id) {
            finish(easy, &Engine::cancelledResult, CURLE_ABORTED_BY_CALLBACK);
            break;
          }
        }
      }
      if (stop) {
        while (!active.empty()) finish(active.begin()->first, &Engine::cancelledResult, CURLE_ABORTED_BY_CALLBACK);
        return;
      }

      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) finish(message->easy_handle, &Engine::resultOf, message->data.result);
      }
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  }
};

namespace {

// Cancels one transfer when the awaiting task's cancellation slot fires.
struct CancelTransfer {
  std::weak_ptr<CurlHttpClient::Engine> engine;
  uint64_t id;
  void operator()(asio::cancellation_type) const {
    if (auto strong = engine.lock()) strong->cancel(id);
  }
};

struct StartTransfer {
  std::shared_ptr<CurlHttpClient::Engine> engine;

  template <typename Handler>
  void operator()(Handler&& handler, HttpRequest request) const {
    using Transfer = CurlHttpClient::Engine::Transfer;
    auto transfer = std::make_unique<Transfer>();
    asio::any_io_executor executor = asio::get_associated_executor(handler);
    transfer->executor = asio::prefer(executor, asio::execution::outstanding_work.tracked);
    transfer->slot = asio::get_associated_cancellation_slot(handler);
    using Decayed = std::decay_t<Handler>;
    transfer->handler = std::make_unique<CurlHttpClient::Engine::CompletionOf<Decayed>>(Decayed(std::forward<Handler>(handler)));
    transfer->request = std::move(request);

    const HttpRequest& r = transfer->request;
    bool headersOk = std::all_of(r.headers.begin(), r.headers.end(), [](const auto& h) {
      return !h.first.empty() && !hasLineBreakOrNul(h.first) && !hasLineBreakOrNul(h.second) &&
             h.first.find(':') == std::string::npos;
    });
    if (!acceptableUrl(r.url) || !acceptableMethod(r.method) || !headersOk) {
      CurlHttpClient::Engine::complete(std::move(transfer),
                                       failure(HttpFailure::Kind::badUrl, "not an acceptable http(s) request"));
      return;
    }
    // Connect the slot before the worker can see the transfer: the completion clears it, possibly
    // on another thread of a multi-threaded executor.
    transfer->id = engine->newId();
    if (transfer->slot.is_connected()) {
      transfer->slot.template emplace<CancelTransfer>(CancelTransfer{engine, transfer->id});
    }
    engine->submit(std::move(transfer));
  }
};

}  // namespace

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options) : engine_(std::make_shared<Engine>(std::move(options))) {
  engine_->start();
}

CurlHttpClient::~CurlHttpClient() { engine_->stop(); }

asio::awaitable<HttpResult> CurlHttpClient::send(HttpRequest request) {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(HttpResult)>(StartTransfer{engine_}, asio::use_awaitable,
                                                                           std::move(request));
}

}  // namespace quorvin
