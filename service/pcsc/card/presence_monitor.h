// Watches the readers with a PC/SC context of its own (SCardGetStatusChange
// holds its context while it waits), so that the service knows when a key
// comes or goes without asking the card.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "card/readers.h"
#include "pcsc_api.h"

namespace card {

class PresenceMonitor : public Presence {
public:
  // `retry`: how long to wait before trying the middleware again after it
  // went away.
  explicit PresenceMonitor(std::chrono::milliseconds retry = std::chrono::milliseconds(1000));
  ~PresenceMonitor() override;
  PresenceMonitor(const PresenceMonitor&) = delete;
  PresenceMonitor& operator=(const PresenceMonitor&) = delete;

  std::optional<std::vector<ReaderState>> current() const override;

private:
  void run();
  // Watches until the middleware goes away or stop() is asked for.
  void watch(SCARDCONTEXT context);
  void publish(std::optional<std::vector<ReaderState>> states);

  const std::chrono::milliseconds retry_;
  mutable std::mutex mtx_;
  std::condition_variable wake_;
  std::optional<std::vector<ReaderState>> states_;
  bool stopping_ = false;
  bool have_context_ = false;
  SCARDCONTEXT context_ = 0;
  std::thread thread_;
};

} // namespace card
