// Readers over PC/SC (pcsc-lite). One context, made on first use by the
// thread that calls it and remade after pcscd went away. Not thread-safe:
// PC/SC contexts belong to one thread.
#pragma once

#include <winscard.h>

#include <chrono>
#include <functional>
#include <string>

#include "card/readers.h"

namespace card {

// The text of a PC/SC result, "SCARD_E_NO_SERVICE: Service not available." style.
std::string pcsc_text(LONG rv);

// How a PC/SC result reads as a failure.
oath::Failure pcsc_failure(LONG rv, oath::Step step, const std::string& reader = {});

struct PcscOptions {
  // Longest wait for a card that another program holds exclusively.
  std::chrono::milliseconds busy_wait{1000};
  std::chrono::milliseconds busy_retry{50};
  // The sleep between tries (a seam for tests).
  std::function<void(std::chrono::milliseconds)> sleep;
};

class PcscReaders : public Readers {
public:
  explicit PcscReaders(PcscOptions options = {});
  ~PcscReaders() override;
  PcscReaders(const PcscReaders&) = delete;
  PcscReaders& operator=(const PcscReaders&) = delete;

  oath::Result<std::vector<ReaderState>> states() override;
  oath::Result<std::unique_ptr<Connection>> connect(const std::string& reader) override;

  // Called by connections whose calls found pcscd gone.
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
