#include "card/presence_monitor.h"

#include <string>

#include "card/pcsc_readers.h"

namespace card {

namespace {

// Announces readers that come and go.
constexpr const char* pnp_reader = "\\\\?PnP?\\Notification";

std::vector<std::string> reader_names(SCARDCONTEXT context, LONG& rv) {
  DWORD size = 0;
  rv = pcsc::list_readers(context, nullptr, &size);
  std::vector<std::string> readers;
  if (rv == SCARD_E_NO_READERS_AVAILABLE) {
    rv = SCARD_S_SUCCESS;
    return readers;
  }
  if (rv != SCARD_S_SUCCESS)
    return readers;
  std::vector<char> names(size);
  rv = pcsc::list_readers(context, names.data(), &size);
  if (rv == SCARD_E_NO_READERS_AVAILABLE) {
    rv = SCARD_S_SUCCESS;
    return readers;
  }
  for (size_t pos = 0; rv == SCARD_S_SUCCESS && pos < names.size() && names[pos] != '\0';) {
    readers.emplace_back(&names[pos]);
    pos += readers.back().size() + 1;
  }
  return readers;
}

} // namespace

PresenceMonitor::PresenceMonitor(std::chrono::milliseconds retry)
  : retry_(retry), thread_([this] { run(); }) {}

PresenceMonitor::~PresenceMonitor() {
  {
    std::lock_guard<std::mutex> guard{mtx_};
    stopping_ = true;
    // Ends a pending SCardGetStatusChange.
    if (have_context_)
      SCardCancel(context_);
  }
  wake_.notify_all();
  thread_.join();
}

std::optional<std::vector<ReaderState>> PresenceMonitor::current() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return states_;
}

void PresenceMonitor::publish(std::optional<std::vector<ReaderState>> states) {
  std::lock_guard<std::mutex> guard{mtx_};
  states_ = std::move(states);
}

void PresenceMonitor::run() {
  for (;;) {
    SCARDCONTEXT context = 0;
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv == SCARD_S_SUCCESS) {
      {
        std::lock_guard<std::mutex> guard{mtx_};
        if (stopping_) {
          SCardReleaseContext(context);
          return;
        }
        context_ = context;
        have_context_ = true;
      }
      watch(context);
      {
        std::lock_guard<std::mutex> guard{mtx_};
        have_context_ = false;
      }
      SCardReleaseContext(context);
    }
    publish(std::nullopt);
    std::unique_lock<std::mutex> lock{mtx_};
    if (wake_.wait_for(lock, retry_, [this] { return stopping_; }))
      return;
  }
}

void PresenceMonitor::watch(SCARDCONTEXT context) {
  for (;;) {
    LONG rv = SCARD_S_SUCCESS;
    const auto readers = reader_names(context, rv);
    if (rv != SCARD_S_SUCCESS)
      return;
    std::vector<pcsc::ReaderState> query(readers.size() + 1);
    for (size_t i = 0; i < readers.size(); ++i) {
      query[i].szReader = readers[i].c_str();
      query[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    query.back().szReader = pnp_reader;
    query.back().dwCurrentState = SCARD_STATE_UNAWARE;
    // The first call answers at once with the current states; later ones
    // wait for a change against them.
    for (bool first = true;; first = false) {
      rv = pcsc::get_status_change(context, first ? 0 : INFINITE, query.data(),
                                   static_cast<DWORD>(query.size()));
      {
        std::lock_guard<std::mutex> guard{mtx_};
        if (stopping_)
          return;
      }
      if (rv == SCARD_E_TIMEOUT)
        rv = SCARD_S_SUCCESS;
      if (rv == SCARD_E_UNKNOWN_READER)
        break;  // a reader went: list again
      if (rv != SCARD_S_SUCCESS) {
        if (middleware_gone(rv) || rv == SCARD_E_CANCELLED)
          return;
        // Anything else: list again after a pause rather than spin.
        std::unique_lock<std::mutex> lock{mtx_};
        if (wake_.wait_for(lock, retry_, [this] { return stopping_; }))
          return;
        break;
      }
      std::vector<ReaderState> states;
      for (size_t i = 0; i < readers.size(); ++i) {
        const DWORD state = query[i].dwEventState;
        states.push_back(ReaderState{readers[i], (state & SCARD_STATE_PRESENT) != 0,
                                     static_cast<uint16_t>(state >> 16)});
      }
      publish(states);
      const bool readers_changed =
        !first && (query.back().dwEventState & SCARD_STATE_CHANGED) != 0;
      bool gone = false;
      for (size_t i = 0; i < query.size(); ++i) {
        if (i < readers.size()
            && (query[i].dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0)
          gone = true;
        query[i].dwCurrentState = query[i].dwEventState & ~SCARD_STATE_CHANGED;
      }
      if (readers_changed || gone)
        break;
    }
  }
}

} // namespace card
