#include "platform/std_streams.h"

#include "platform/windows/win_util.h"

bool std_streams_fill() {
  bool ok = true;
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE h = GetStdHandle(which);
    if (h && h != INVALID_HANDLE_VALUE) continue;
    HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ok = null != INVALID_HANDLE_VALUE && SetStdHandle(which, null) && ok;
  }
  return ok;
}
