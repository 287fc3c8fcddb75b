// A program that only waits, so that the tests have a running process whose program file is
// signed (SecureComTestProcess_signed.exe) or not (SecureComTestProcess.exe). Command line:
// <event name>; it ends when that event is set, or after 30 s.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  HANDLE done = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
  if (done == nullptr) return 3;
  const DWORD waited = WaitForSingleObject(done, 30000);
  CloseHandle(done);
  return waited == WAIT_OBJECT_0 ? 0 : 4;
}
