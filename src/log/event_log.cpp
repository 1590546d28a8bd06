#include "log/event_log.h"

#include <windows.h>

#include "common/service_name.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "log/service_messages.h"

bool WriteServiceEvent(EventKind kind, const std::wstring& message) {
  UniqueEventSource eventSource(RegisterEventSourceW(nullptr, FromUtf8(ServiceName).c_str()));
  if (!eventSource) return false;
  const wchar_t* strings[] = {message.c_str()};
  const WORD type = kind == EventKind::Error ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE;
  // The executable's message table shows the text as it stands.
  return ReportEventW(eventSource.get(), type, 0, SERVICE_EVENT_TEXT, nullptr, 1, 0, strings,
                      nullptr) != FALSE;
}
