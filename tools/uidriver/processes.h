// The processes the driver starts or attaches to: start with a verbatim
// command line, working folder and environment; wait for the end; kill.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "json.h"

namespace uidriver {

class ProcessTable {
 public:
  ProcessTable() = default;
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Starts a program. request: path, args (appended verbatim after the
  // quoted path and one space) or command_line (used as is), cwd, env
  // (object: name to value, or to null to remove the name). Answers pid,
  // tid and the command line used.
  Json Launch(const Json& request);
  // Takes a handle to a running process so that wait_exit and kill work on it.
  Json Attach(DWORD pid);
  // Waits up to timeout_ms for the end; answers exit_code.
  Json WaitExit(DWORD pid, int64_t timeout_ms);
  // Terminates the process (and with tree, its descendants first).
  Json Kill(DWORD pid, bool tree, UINT exit_code);
  // Every process of the prefix's wineserver (or of Windows): pid, parent, exe.
  static Json List();
  // Kills every process started by Launch that still runs; answers their pids.
  Json KillLaunched();

 private:
  struct Entry {
    UniqueHandle handle;
    bool launched = false;
  };
  HANDLE HandleFor(DWORD pid);

  std::map<DWORD, Entry> processes_;
};

}  // namespace uidriver
