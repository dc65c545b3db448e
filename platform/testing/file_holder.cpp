// file_holder: holds a file open without sharing for a while, as a virus
// scanner or an indexer does with a file just closed, for the tests of the
// copy under Wine. Test-only Windows program; never shipped.
//
//   file_holder MILLISECONDS PATH
//     Opens PATH for reading with no sharing, writes one byte on standard
//     output once it holds it, keeps it MILLISECONDS and closes it. Exit
//     code 0 when it held the file, 1 when it could not open it.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  DWORD milliseconds = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
  HANDLE file = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "h", 1, &written, nullptr);
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}
