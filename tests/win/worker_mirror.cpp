#include "tests/win/worker_mirror.h"

#include <winsock2.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace worker_test {

namespace {

// ---------------------------------------------------------------------------
// Just enough JSON to read the mirror's answers (json.dumps output).

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;                            // array
  std::vector<std::pair<std::string, Json>> members;  // object

  const Json* Member(const char* name) const {
    for (const auto& member : members) {
      if (member.first == name) return &member.second;
    }
    return nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  Json ReadDocument() {
    Json value = ReadValue();
    SkipSpace();
    if (at_ != text_.size()) Fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw std::runtime_error(std::string("mirror answer is not JSON (") + what + ") at " + std::to_string(at_) + ": " +
                             text_.substr(0, 200));
  }
  void SkipSpace() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr) ++at_;
  }
  bool Take(char c) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail("unexpected character");
  }
  bool TakeWord(const char* word) {
    const size_t length = std::strlen(word);
    if (text_.compare(at_, length, word) != 0) return false;
    at_ += length;
    return true;
  }

  Json ReadValue() {
    SkipSpace();
    if (at_ >= text_.size()) Fail("end of text");
    Json value;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      value.kind = Json::kObject;
      if (Take('}')) return value;
      do {
        SkipSpace();
        std::string name = ReadString();
        Expect(':');
        value.members.emplace_back(std::move(name), ReadValue());
      } while (Take(','));
      Expect('}');
    } else if (c == '[') {
      ++at_;
      value.kind = Json::kArray;
      if (Take(']')) return value;
      do {
        value.items.push_back(ReadValue());
      } while (Take(','));
      Expect(']');
    } else if (c == '"') {
      value.kind = Json::kString;
      value.text = ReadString();
    } else if (TakeWord("true")) {
      value.kind = Json::kBool;
      value.boolean = true;
    } else if (TakeWord("false")) {
      value.kind = Json::kBool;
    } else if (TakeWord("null")) {
      value.kind = Json::kNull;
    } else {
      const char* start = text_.c_str() + at_;
      char* end = nullptr;
      value.kind = Json::kNumber;
      value.number = std::strtod(start, &end);
      if (end == start) Fail("bad value");
      at_ += static_cast<size_t>(end - start);
    }
    return value;
  }

  // A string literal; \u escapes become UTF-8 (the mirror escapes all
  // non-ASCII text, surrogate pairs included).
  std::string ReadString() {
    if (at_ >= text_.size() || text_[at_] != '"') Fail("expected a string");
    ++at_;
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("bad escape");
      c = text_[at_++];
      switch (c) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned code = ReadHex4();
          if (code >= 0xD800 && code < 0xDC00 && TakeWord("\\u")) {
            code = 0x10000 + ((code - 0xD800) << 10) + (ReadHex4() - 0xDC00);
          }
          AppendUtf8(out, code);
          break;
        }
        default: out += c;  // \" \\ \/
      }
    }
    if (at_ >= text_.size()) Fail("unterminated string");
    ++at_;
    return out;
  }
  unsigned ReadHex4() {
    if (at_ + 4 > text_.size()) Fail("bad \\u escape");
    const unsigned value = static_cast<unsigned>(std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16));
    at_ += 4;
    return value;
  }
  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  const std::string& text_;
  size_t at_ = 0;
};

// ---------------------------------------------------------------------------

std::string RequireEnvironment(const char* name) {
  char value[1024] = {};
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  if (length == 0 || length >= sizeof(value)) {
    throw std::runtime_error(std::string("environment variable ") + name +
                             " is not set: run this test through tests/win/run_with_mirror.py");
  }
  return value;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_.~/", c) != nullptr) {
      out += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

struct SocketOwner {
  SOCKET s = INVALID_SOCKET;
  ~SocketOwner() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
};

}  // namespace

std::string LoggedRequest::Header(const std::string& name, bool* found) const {
  for (const auto& header : headers) {
    if (_stricmp(header.first.c_str(), name.c_str()) == 0) {
      if (found != nullptr) *found = true;
      return header.second;
    }
  }
  if (found != nullptr) *found = false;
  return std::string();
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

Mirror& Mirror::Get() {
  static Mirror* mirror = [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    auto* m = new Mirror;
    m->controlPort_ = std::atoi(RequireEnvironment("ZELVRA_MIRROR_CONTROL_PORT").c_str());
    m->closedPort_ = std::atoi(RequireEnvironment("ZELVRA_MIRROR_CLOSED_PORT").c_str());
    for (const char* host : {"primary", "secondary"}) {
      std::string upper = host;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      m->hosts_[host] = {std::atoi(RequireEnvironment(("ZELVRA_MIRROR_" + upper + "_PORT").c_str()).c_str()),
                         RequireEnvironment(("ZELVRA_MIRROR_" + upper + "_ROOT").c_str())};
    }
    return m;
  }();
  return *mirror;
}

int Mirror::Port(const std::string& host) const {
  const auto it = hosts_.find(host);
  if (it == hosts_.end()) throw std::runtime_error("no mirror host " + host);
  return it->second.first;
}

std::string Mirror::Url(const std::string& host, const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(Port(host)) + path;
}

void Mirror::Reset() { Call("POST", "/reset", "{}"); }

void Mirror::SetFault(const std::string& host, const std::string& path, const std::string& faultJson) {
  Call("POST", "/faults",
       "{\"host\":" + JsonQuote(host) + ",\"path\":" + JsonQuote(path) + ",\"fault\":" + faultJson + "}");
}

std::vector<LoggedRequest> Mirror::Requests(const std::string& host, const std::string& path) {
  const std::string query = "/requests?host=" + Escape(host) + (path.empty() ? "" : "&path=" + Escape(path));
  const Json log = JsonReader(Call("GET", query, "")).ReadDocument();
  std::vector<LoggedRequest> requests;
  for (const Json& entry : log.items) {
    LoggedRequest request;
    if (const Json* v = entry.Member("method")) request.method = v->text;
    if (const Json* v = entry.Member("path")) request.path = v->text;
    if (const Json* v = entry.Member("outcome")) request.outcome = v->text;
    if (const Json* v = entry.Member("status")) request.status = static_cast<int>(v->number);
    if (const Json* v = entry.Member("body_bytes")) request.bodyBytes = static_cast<long long>(v->number);
    if (const Json* v = entry.Member("headers")) {
      for (const Json& pair : v->items) {
        if (pair.items.size() == 2) request.headers.emplace_back(pair.items[0].text, pair.items[1].text);
      }
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

void Mirror::PutFile(const std::string& host, const std::string& path, const std::string& data) {
  const auto it = hosts_.find(host);
  if (it == hosts_.end()) throw std::runtime_error("no mirror host " + host);
  std::string local = it->second.second;
  // Create the folders of the path one by one below the root.
  size_t start = 1;
  for (size_t slash = path.find('/', start); slash != std::string::npos; slash = path.find('/', start)) {
    local += "\\" + path.substr(start, slash - start);
    CreateDirectoryA(local.c_str(), nullptr);
    start = slash + 1;
  }
  local += "\\" + path.substr(start);
  HANDLE file = CreateFileA(local.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write mirror file " + local);
  DWORD written = 0;
  const BOOL ok = data.empty() || WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != data.size()) throw std::runtime_error("cannot write mirror file " + local);
}

// One request to the control port, answered whole and then closed.
std::string Mirror::Call(const char* method, const std::string& target, const std::string& body) {
  SocketOwner sock;
  sock.s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock.s == INVALID_SOCKET) throw std::runtime_error("socket failed");
  const DWORD timeoutMs = 10000;
  setsockopt(sock.s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
  setsockopt(sock.s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(controlPort_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock.s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("cannot reach the mirror's control port " + std::to_string(controlPort_));
  }
  std::string request = std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        "Content-Type: application/json\r\nConnection: close\r\n" +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  for (size_t sent = 0; sent < request.size();) {
    const int n = send(sock.s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0) throw std::runtime_error("cannot send to the mirror's control port");
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    const int n = recv(sock.s, buffer, sizeof(buffer), 0);
    if (n < 0) throw std::runtime_error("no answer from the mirror's control port");
    if (n == 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  const size_t bodyStart = answer.find("\r\n\r\n");
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || bodyStart == std::string::npos) {
    throw std::runtime_error("bad answer from the mirror's control port: " + answer.substr(0, 200));
  }
  const std::string content = answer.substr(bodyStart + 4);
  if (answer.compare(9, 3, "200") != 0) {
    throw std::runtime_error(std::string(method) + " " + target + " refused by the mirror: " + content);
  }
  return content;
}

}  // namespace worker_test
