// The overlapped comm-event wait that reports a CTS change. The system completes it on its
// own and stores the event bits into event_word, so both the word and the OVERLAPPED block
// live at fixed static addresses for the whole run.
#include "platform/win32/win_api.h"

namespace platform {
namespace {

static_assert(sizeof(DWORD) == sizeof(uint32_t), "the event word is one DWORD");

OVERLAPPED cts_overlapped;
volatile DWORD event_word = 0;

}  // namespace

volatile uint32_t* cts_event_word() {
  return reinterpret_cast<volatile uint32_t*>(&event_word);
}

bool cts_event_create() {
  // A handle left from an arm that was never disarmed would leak; its wait is over by now,
  // since the caller arms only after the previous wait was ended.
  cts_event_close();
  ZeroMemory(&cts_overlapped, sizeof(cts_overlapped));
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (event == nullptr) return false;
  cts_overlapped.hEvent = event;
  return true;
}

int cts_wait_start(SerialHandle h) {
  // The system writes through this pointer after the call returns; volatile is dropped only
  // for the call's signature.
  DWORD* word = const_cast<DWORD*>(&event_word);
  if (WaitCommEvent(reinterpret_cast<HANDLE>(h), word, &cts_overlapped)) return 1;
  return GetLastError() == ERROR_IO_PENDING ? 0 : -1;
}

void cts_event_close() {
  if (cts_overlapped.hEvent == nullptr) return;
  DWORD saved = GetLastError();
  CloseHandle(cts_overlapped.hEvent);
  cts_overlapped.hEvent = nullptr;
  SetLastError(saved);
}

}  // namespace platform
