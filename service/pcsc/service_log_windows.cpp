#include "service_log.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iostream>

// %LOCALAPPDATA%\Tovrin Authenticator G2\fido-otp-service.log, appended to;
// standard error when that cannot be opened.
ServiceLog open_service_log() {
  namespace fs = std::filesystem;
  static std::ofstream file;
  wchar_t base[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    const fs::path dir = fs::path{base} / L"Tovrin Authenticator G2";
    std::error_code ec;
    fs::create_directories(dir, ec);
    file.open(dir / L"fido-otp-service.log", std::ios::app);
  }
  if (!file.is_open())
    return {std::cerr, std::cerr};
  return {file, file};
}
