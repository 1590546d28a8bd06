#include "watch/watch_loop.h"

#include <windows.h>

#include "service/worker.h"

void WatchLoop(Worker* worker) {
  while (worker->running) {
    Sleep(100);
  }
}
