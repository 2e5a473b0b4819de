// The PC/SC API as pcsc-lite has it (Linux), under the names the card layer
// uses; card/winscard/pcsc_api.h is Windows' side. The one place where the
// two differ.
#pragma once

#include <winscard.h>

#include <string>

namespace card::pcsc {

using ReaderState = SCARD_READERSTATE;

inline LONG list_readers(SCARDCONTEXT context, char* names, DWORD* size) {
  return SCardListReaders(context, nullptr, names, size);
}

inline LONG get_status_change(SCARDCONTEXT context, DWORD timeout, ReaderState* states,
                              DWORD count) {
  return SCardGetStatusChange(context, timeout, states, count);
}

inline LONG connect(SCARDCONTEXT context, const char* reader, DWORD share, DWORD protocols,
                    SCARDHANDLE* handle, DWORD* protocol) {
  return SCardConnect(context, reader, share, protocols, handle, protocol);
}

// The largest answer of an extended APDU, with its status word.
constexpr DWORD max_answer = MAX_BUFFER_SIZE_EXTENDED;

// pcsc-lite's own words for a result.
inline std::string describe(LONG rv) {
  return pcsc_stringify_error(rv);
}

// pcscd away is the middleware gone: the key may still be there.
constexpr bool stopped_service_is_no_key = false;

} // namespace card::pcsc
