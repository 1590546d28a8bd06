#include <windows.h>

#include "common/system_library.h"
#include "service/service_host.h"

// Hands the main thread to the service control dispatcher. Started outside
// the service control manager, the dispatcher call fails at once and the
// process exits 0 without touching anything.
int main(int, char**, char**) {
  LoadDllsFromSystemFolderOnly();
  SERVICE_TABLE_ENTRYA dispatchTable[] = {
      {const_cast<LPSTR>(ServiceName), ServiceMain},
      {nullptr, nullptr},
  };
  StartServiceCtrlDispatcherA(dispatchTable);
  return 0;
}
