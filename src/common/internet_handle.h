#pragma once

#include <windows.h>
#include <wininet.h>

#include "common/unique_handle.h"

struct InternetHandleTraits {
  static HINTERNET Invalid() { return nullptr; }
  static void Close(HINTERNET h) { InternetCloseHandle(h); }
};

// WinINet session, connection and request handles.
using UniqueInternetHandle = UniqueHandle<HINTERNET, InternetHandleTraits>;
