// Readers over PC/SC (pcsc-lite on Linux, winscard.dll on Windows: see
// pcsc_api.h). The reader states come through one context, made on first use
// by the thread that calls it and remade after the middleware went away. Not
// thread-safe: PC/SC contexts belong to one thread.
//
// pcscd makes SCardConnect wait, without a limit, while another program has
// a transaction open on the card. So each connection is made on a thread of
// its own, with a context of its own, that hands both over once connected;
// a connection that takes longer than the bound is left to that thread,
// which lets go of it when it finally comes.
#pragma once

#include "pcsc_api.h"

#include <chrono>
#include <string>

#include "card/readers.h"

namespace card {

// The text of a PC/SC result, "SCARD_E_NO_SERVICE: Service not available." style.
std::string pcsc_text(LONG rv);

// How a PC/SC result reads as a failure.
oath::Failure pcsc_failure(LONG rv, oath::Step step, const std::string& reader = {});

// Whether a result says the middleware (pcscd, Windows' Smart Card service)
// went away or was restarted: a new context is needed.
bool middleware_gone(LONG rv);

struct PcscOptions {
  // Longest wait for a card that another program holds.
  std::chrono::milliseconds busy_wait{1000};
  // Pause between tries while another program holds it exclusively.
  std::chrono::milliseconds busy_retry{50};
};

class PcscReaders : public Readers {
public:
  explicit PcscReaders(PcscOptions options = {});
  ~PcscReaders() override;
  PcscReaders(const PcscReaders&) = delete;
  PcscReaders& operator=(const PcscReaders&) = delete;

  oath::Result<std::vector<ReaderState>> states() override;
  oath::Result<std::unique_ptr<Connection>> connect(const std::string& reader) override;

  // Called by connections whose calls found the middleware gone.
  void lost_service() { lost_ = true; }

private:
  oath::Result<SCARDCONTEXT> context();
  void release();

  PcscOptions options_;
  SCARDCONTEXT context_ = 0;
  bool have_context_ = false;
  bool lost_ = false;
};

} // namespace card
