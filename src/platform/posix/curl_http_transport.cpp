#include "platform/posix/curl_http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace corvane {

namespace {

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  const HttpRequest* request = nullptr;
  const std::atomic<bool>* stop = nullptr;
  HttpResponse response;
  bool tooLarge = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->response.body.size() + bytes > transfer->request->maxResponseBytes) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer
  }
  transfer->response.body.append(data, bytes);
  return bytes;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) transfer->response.headers.clear();  // a new response (after 100 Continue)
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
  transfer->response.headers[name] = std::string(value);
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  return transfer->stop->load() ? 1 : 0;
}

}  // namespace

CurlHttpTransport::CurlHttpTransport(Dispatcher& dispatcher)
    : dispatcher_(dispatcher), alive_(std::make_shared<std::atomic<bool>>(true)) {
  initialiseCurlOnce();
}

CurlHttpTransport::~CurlHttpTransport() {
  alive_->store(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void CurlHttpTransport::send(HttpRequest request, std::function<void(HttpResponse)> completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{std::move(request), std::move(completion)});
    // The thread starts with the first request: most processes never send one.
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void CurlHttpTransport::run() {
  initialiseCurlOnce();
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_.load() || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    HttpResponse response = perform(job.request, stopping_);
    if (stopping_) return;
    std::weak_ptr<std::atomic<bool>> alive = alive_;
    dispatcher_.main().async([alive, completion = std::move(job.completion), response = std::move(response)]() mutable {
      auto token = alive.lock();
      if (token && token->load() && completion) completion(std::move(response));
    });
  }
}

HttpResponse CurlHttpTransport::perform(const HttpRequest& request, const std::atomic<bool>& stop) {
  initialiseCurlOnce();
  Transfer transfer;
  transfer.request = &request;
  transfer.stop = &stop;
  CURL* curl = curl_easy_init();
  if (!curl) {
    transfer.response.error = "the HTTP library could not start a request";
    return transfer.response;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  // An empty Expect keeps curl from waiting for a 100 Continue before a POST body.
  headers = curl_slist_append(headers, "Expect:");

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(std::max(0.001, request.timeoutSeconds) * 1000));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(0.001, request.timeoutSeconds) * 1000));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
  }

  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = int(status);
  } else {
    transfer.response.status = 0;
    transfer.response.body.clear();
    if (transfer.tooLarge) {
      transfer.response.error = "the answer is larger than " + std::to_string(request.maxResponseBytes) + " bytes";
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
      transfer.response.error = "no answer within " + std::to_string(int(request.timeoutSeconds)) + " seconds";
    } else {
      transfer.response.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    }
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return transfer.response;
}

}  // namespace corvane
