// The update mirror (tools/mirror) as the download worker's tests see it from
// inside Wine: its control port spoken over plain Winsock (never through the
// WinInet under test), its request log read back, and files placed in its
// host roots through Wine's drive mapping.
//
// run_with_mirror.py starts the mirror and passes, in the environment:
//   ZELVRA_MIRROR_CONTROL_PORT          the JSON control port
//   ZELVRA_MIRROR_<HOST>_PORT / _ROOT   per host (PRIMARY, SECONDARY): its
//                                       port and its root as a Windows path
//   ZELVRA_MIRROR_CLOSED_PORT           a loopback port where nothing listens
// Every call throws std::runtime_error when the mirror cannot be reached or
// refuses the request, so that a test fails with the reason.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace worker_test {

// One request the mirror logged.
struct LoggedRequest {
  std::string method;
  std::string path;
  std::string outcome;  // pending, complete, aborted, closed, stopped, error
  int status = 0;       // 0 when none was sent
  long long bodyBytes = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent

  // The value of the first header of that name (any case), or "" (and
  // `found` false) when the request had none.
  std::string Header(const std::string& name, bool* found = nullptr) const;
};

class Mirror {
 public:
  // The mirror named by the environment; throws when a variable is missing.
  static Mirror& Get();

  int Port(const std::string& host) const;
  // http://127.0.0.1:PORT/path on that host.
  std::string Url(const std::string& host, const std::string& path) const;
  // A loopback port where nothing listens (held by the wrapper, not listening).
  int ClosedPort() const { return closedPort_; }

  // Clears every fault and the request log.
  void Reset();
  // Sets a fault (a JSON object text, see mirror.py) for one host and path.
  void SetFault(const std::string& host, const std::string& path, const std::string& faultJson);
  // The requests for `path` on `host` (every path when empty), oldest first.
  std::vector<LoggedRequest> Requests(const std::string& host, const std::string& path);
  // Writes `data` as the file the host serves at `path`.
  void PutFile(const std::string& host, const std::string& path, const std::string& data);

 private:
  Mirror() = default;
  std::string Call(const char* method, const std::string& target, const std::string& body);

  int controlPort_ = 0;
  int closedPort_ = 0;
  std::map<std::string, std::pair<int, std::string>> hosts_;  // name -> (port, root)
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);

}  // namespace worker_test
