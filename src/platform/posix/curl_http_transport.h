// HTTP over libcurl, on a worker thread of its own (started by the first request): requests run one after another there, each
// bounded by its timeout, and each response is posted to the dispatcher's main queue.
//
// Only http and https are spoken, redirects are not followed, and a body larger than the request's
// limit ends the transfer. Destroying the transport stops the transfer in progress within a few
// milliseconds, drops the requests not yet started and joins the thread.
//
// Threading: send() from any thread; completions on the main queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <deque>
#include <mutex>
#include <thread>

#include "base/dispatch.h"
#include "platform/http_transport.h"

namespace corvane {

class CurlHttpTransport final : public HttpTransport {
 public:
  explicit CurlHttpTransport(Dispatcher& dispatcher);
  ~CurlHttpTransport() override;
  CurlHttpTransport(const CurlHttpTransport&) = delete;
  CurlHttpTransport& operator=(const CurlHttpTransport&) = delete;

  void send(HttpRequest request, std::function<void(HttpResponse)> completion) override;

  // One request, on the calling thread (the worker's body). `stop` ends it early.
  static HttpResponse perform(const HttpRequest& request, const std::atomic<bool>& stop);

 private:
  struct Job {
    HttpRequest request;
    std::function<void(HttpResponse)> completion;
  };
  void run();

  Dispatcher& dispatcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::atomic<bool> stopping_{false};
  std::shared_ptr<std::atomic<bool>> alive_;
  std::thread worker_;  // started under mutex_ by the first send()
};

}  // namespace corvane
