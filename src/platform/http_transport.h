// HTTP requests to the organisation's server: one request at a time is handed over, the response
// comes back later on the main queue. The transport never blocks the caller.
//
// A response with status 0 is a failure to get any answer (no connection, a timeout, a body larger
// than allowed, a refused URL): `error` says why. Header names come back in lower case.
//
// Threading: send() on the main thread; the completion runs on the main queue. Destroying the
// transport abandons pending requests: their completions never run.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  double timeoutSeconds = 20;
  size_t maxResponseBytes = size_t(1) << 20;
};

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;
  std::string body;
  std::string error;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual void send(HttpRequest request, std::function<void(HttpResponse)> completion) = 0;
};

}  // namespace corvane
