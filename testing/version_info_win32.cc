// Reads an exe's version resource and manifest back the way Windows does
// (GetFileVersionInfoW, VerQueryValueW, the loader's resource lookup) and
// prints them, one "name=value" line each, for the release test.
// Usage: version_info EXE

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void PrintString(const std::vector<char>& block, const wchar_t* name) {
  // US English, Unicode: the one language the resource holds.
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) &&
      value != nullptr) {
    std::wprintf(L"%ls=%ls\n", name, value);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: version_info EXE\n");
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
  std::vector<char> block(size);
  if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, block.data())) {
    std::wprintf(L"version=none\n");
  } else {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
        fixed != nullptr) {
      std::wprintf(L"fixed=%lu.%lu.%lu.%lu\n", HIWORD(fixed->dwFileVersionMS),
                   LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                   LOWORD(fixed->dwFileVersionLS));
    }
    for (const wchar_t* name : {L"ProductName", L"ProductVersion", L"FileVersion",
                                L"FileDescription", L"OriginalFilename", L"LegalCopyright"}) {
      PrintString(block, name);
    }
  }
  const HMODULE exe = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const HRSRC manifest =
      exe != nullptr ? FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
  if (manifest != nullptr) {
    const HGLOBAL data = LoadResource(exe, manifest);
    const char* text = static_cast<const char*>(LockResource(data));
    const std::string xml(text != nullptr ? text : "", SizeofResource(exe, manifest));
    std::wprintf(L"manifest=%ls\n",
                 xml.find("requestedExecutionLevel level=\"asInvoker\"") != std::string::npos
                     ? L"asInvoker"
                     : L"other");
  } else {
    std::wprintf(L"manifest=none\n");
  }
  return 0;
}
