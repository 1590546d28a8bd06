// Lists the running processes ten times a second for a while, as the watch
// thread does, so that scripts/idle-bench.sh can read the CPU cost of one way
// of listing beside the idle service's.
//   process_list_loop.exe toolhelp|query|sleep seconds
// "toolhelp": a bare Toolhelp snapshot walked to its end; "query": the
// system query that the service uses; "sleep": no list, only the waits.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "process/process_list.h"
#include "support/toolhelp_walk.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string mode = argv[1];
  int lists = std::atoi(argv[2]) * 10;
  size_t processes = 0;
  for (int i = 0; i < lists; ++i) {
    if (mode == "toolhelp") {
      processes = WalkToolhelpSnapshot();
    } else if (mode == "query") {
      ProcessSnapshot entries = ListProcessesWithSystemQuery();
      processes = entries ? entries->size() : 0;
    }
    Sleep(100);
  }
  std::printf("%s: %d lists of %zu processes\n", mode.c_str(), lists, processes);
  return 0;
}
