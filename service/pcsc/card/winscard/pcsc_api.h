// The PC/SC API as Windows has it (winscard.dll), under the names the card
// layer uses; card/pcsclite/pcsc_api.h is Linux's side. The one place where
// the two differ: Windows' "A" functions and SCARD_READERSTATEA, no
// MAX_BUFFER_SIZE_EXTENDED, messages from the system. DWORD is 32 bits here
// and 64 in pcsc-lite on amd64: the card layer keeps DWORDs as DWORDs.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <string>

namespace card::pcsc {

using ReaderState = SCARD_READERSTATEA;

inline LONG list_readers(SCARDCONTEXT context, char* names, DWORD* size) {
  return SCardListReadersA(context, nullptr, names, size);
}

inline LONG get_status_change(SCARDCONTEXT context, DWORD timeout, ReaderState* states,
                              DWORD count) {
  return SCardGetStatusChangeA(context, timeout, states, count);
}

inline LONG connect(SCARDCONTEXT context, const char* reader, DWORD share, DWORD protocols,
                    SCARDHANDLE* handle, DWORD* protocol) {
  return SCardConnectA(context, reader, share, protocols, handle, protocol);
}

// The largest answer of an extended APDU (65536 bytes), with its status word.
constexpr DWORD max_answer = 65536 + 2;

// The system's words for a result.
inline std::string describe(LONG rv) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
    nullptr, static_cast<DWORD>(rv), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n ? std::string(text, n) : "no description";
  if (text)
    LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
    result.pop_back();
  return result;
}

// Windows stops its Smart Card service when the last reader leaves: a
// stopped service is no reader, so no key.
constexpr bool stopped_service_is_no_key = true;

} // namespace card::pcsc
