// uidriver: drives the windows of other programs in the same Wine prefix (or
// Windows session) for the end-to-end tests. Reads one JSON request per line
// on standard input and writes one JSON answer per line on standard output,
// flushed after each. It shows no window of its own. When its input ends
// without a "quit", it kills the programs it started, so that a test that
// died leaves nothing behind.
#include <windows.h>

#include <string>

#include "commands.h"

namespace {

bool ReadLine(HANDLE input, std::string* buffer, std::string* line) {
  for (;;) {
    size_t newline = buffer->find('\n');
    if (newline != std::string::npos) {
      *line = buffer->substr(0, newline);
      buffer->erase(0, newline + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    char chunk[4096];
    DWORD read = 0;
    if (!ReadFile(input, chunk, sizeof chunk, &read, nullptr) || read == 0) return false;
    buffer->append(chunk, read);
  }
}

void WriteLine(HANDLE output, std::string text) {
  text.push_back('\n');
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(output, data, static_cast<DWORD>(left), &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
  FlushFileBuffers(output);
}

}  // namespace

int main() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  uidriver::CommandSet commands;
  std::string buffer, line;
  bool quit = false;
  while (!quit) {
    if (!ReadLine(input, &buffer, &line)) {
      commands.KillLaunched();
      return 1;
    }
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    WriteLine(output, commands.HandleLine(line, &quit));
  }
  return 0;
}
