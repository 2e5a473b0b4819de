// pcsc_roundtrip: times APDU round trips through pcscd (SCardTransmit) to the
// card in a reader: one SELECT of the OATH applet, a few untimed warm-up
// LISTs, then COUNT timed LISTs (00 A1 00 00 00). Prints the median, 95th and
// 99th percentile, minimum and maximum in microseconds, one "key value" pair
// a line. PCSCLITE_CSOCK_NAME picks the pcscd, as for any PC/SC client.
// Usage: pcsc_roundtrip [--reader NAME] [--count N]

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, LONG rv) {
  std::fprintf(stderr, "pcsc_roundtrip: %s: %s\n", what, pcsc_stringify_error(rv));
  std::exit(1);
}

double percentile(const std::vector<double>& sorted, double p) {
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()));
  return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
  std::string reader;
  long count = 2000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--reader" && i + 1 < argc) {
      reader = argv[++i];
    } else if (arg == "--count" && i + 1 < argc) {
      count = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: pcsc_roundtrip [--reader NAME] [--count N]\n");
      return 2;
    }
  }
  if (count < 1)
    count = 1;

  SCARDCONTEXT context;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS)
    fail("SCardEstablishContext", rv);
  if (reader.empty()) {
    char names[4096];
    DWORD size = sizeof names;
    rv = SCardListReaders(context, nullptr, names, &size);
    if (rv != SCARD_S_SUCCESS)
      fail("SCardListReaders", rv);
    reader = names;
  }
  SCARDHANDLE card;
  DWORD protocol = 0;
  rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv != SCARD_S_SUCCESS)
    fail("SCardConnect", rv);
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;

  const auto transmit = [&](const std::vector<BYTE>& apdu) {
    BYTE answer[258 + 2];
    DWORD size = sizeof answer;
    const LONG result = SCardTransmit(card, pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                                      nullptr, answer, &size);
    if (result != SCARD_S_SUCCESS)
      fail("SCardTransmit", result);
    if (size < 2 || answer[size - 2] != 0x90 || answer[size - 1] != 0x00) {
      std::fprintf(stderr, "pcsc_roundtrip: status %02x%02x\n", size >= 2 ? answer[size - 2] : 0,
                   size >= 2 ? answer[size - 1] : 0);
      std::exit(1);
    }
  };
  transmit({0x00, 0xA4, 0x04, 0x00, 0x07, 0xA0, 0x00, 0x00, 0x05, 0x27, 0x21, 0x01});
  const std::vector<BYTE> list{0x00, 0xA1, 0x00, 0x00, 0x00};
  for (int i = 0; i < 20; ++i)
    transmit(list);

  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    transmit(list);
    const auto took = std::chrono::steady_clock::now() - start;
    micros.push_back(std::chrono::duration<double, std::micro>(took).count());
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);

  std::sort(micros.begin(), micros.end());
  std::printf("reader %s\ncount %ld\nmedian_us %.1f\np95_us %.1f\np99_us %.1f\nmin_us %.1f\n"
              "max_us %.1f\n",
              reader.c_str(), count, percentile(micros, 0.5), percentile(micros, 0.95),
              percentile(micros, 0.99), micros.front(), micros.back());
  return 0;
}
