#include "card/pcsc_readers.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace card {

namespace {

const char* pcsc_name(LONG rv) {
  switch (rv) {
    case SCARD_S_SUCCESS: return "SCARD_S_SUCCESS";
    case SCARD_E_NO_SERVICE: return "SCARD_E_NO_SERVICE";
    case SCARD_E_SERVICE_STOPPED: return "SCARD_E_SERVICE_STOPPED";
    case SCARD_F_COMM_ERROR: return "SCARD_F_COMM_ERROR";
    case SCARD_F_INTERNAL_ERROR: return "SCARD_F_INTERNAL_ERROR";
    case SCARD_E_NO_READERS_AVAILABLE: return "SCARD_E_NO_READERS_AVAILABLE";
    case SCARD_E_READER_UNAVAILABLE: return "SCARD_E_READER_UNAVAILABLE";
    case SCARD_E_UNKNOWN_READER: return "SCARD_E_UNKNOWN_READER";
    case SCARD_E_NO_SMARTCARD: return "SCARD_E_NO_SMARTCARD";
    case SCARD_W_REMOVED_CARD: return "SCARD_W_REMOVED_CARD";
    case SCARD_W_RESET_CARD: return "SCARD_W_RESET_CARD";
    case SCARD_W_UNPOWERED_CARD: return "SCARD_W_UNPOWERED_CARD";
    case SCARD_W_UNRESPONSIVE_CARD: return "SCARD_W_UNRESPONSIVE_CARD";
    case SCARD_W_UNSUPPORTED_CARD: return "SCARD_W_UNSUPPORTED_CARD";
    case SCARD_E_SHARING_VIOLATION: return "SCARD_E_SHARING_VIOLATION";
    case SCARD_E_PROTO_MISMATCH: return "SCARD_E_PROTO_MISMATCH";
    case SCARD_E_NOT_TRANSACTED: return "SCARD_E_NOT_TRANSACTED";
    case SCARD_E_TIMEOUT: return "SCARD_E_TIMEOUT";
    case SCARD_E_CANCELLED: return "SCARD_E_CANCELLED";
    case SCARD_E_INVALID_HANDLE: return "SCARD_E_INVALID_HANDLE";
    case SCARD_E_INVALID_PARAMETER: return "SCARD_E_INVALID_PARAMETER";
    case SCARD_E_INSUFFICIENT_BUFFER: return "SCARD_E_INSUFFICIENT_BUFFER";
  }
  return nullptr;
}

class PcscConnection : public Connection {
public:
  PcscConnection(PcscReaders& owner, SCARDCONTEXT context, SCARDHANDLE handle, DWORD protocol,
                 std::string reader)
    : owner_(owner), context_(context), handle_(handle), protocol_(protocol),
      reader_(std::move(reader)), buffer_(pcsc::max_answer) {}

  ~PcscConnection() override {
    SCardEndTransaction(handle_, SCARD_LEAVE_CARD);
    SCardDisconnect(handle_, SCARD_LEAVE_CARD);
    SCardReleaseContext(context_);
  }

  oath::Result<oath::Answer> transmit(oath::ByteView apdu) override {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    DWORD size = static_cast<DWORD>(buffer_.size());
    const LONG rv = SCardTransmit(handle_, pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                                  nullptr, buffer_.data(), &size);
    if (rv != SCARD_S_SUCCESS) {
      if (middleware_gone(rv))
        owner_.lost_service();
      return pcsc_failure(rv, oath::Step::none, reader_);
    }
    if (size < 2 || size > buffer_.size())
      return oath::Failure{oath::Fault::malformed, oath::Step::none,
                           "an answer of " + std::to_string(size) + " bytes"};
    oath::Answer answer;
    answer.data.assign(buffer_.begin(), buffer_.begin() + (size - 2));
    answer.sw = static_cast<uint16_t>(buffer_[size - 2] << 8 | buffer_[size - 1]);
    return answer;
  }

private:
  PcscReaders& owner_;
  SCARDCONTEXT context_;
  SCARDHANDLE handle_;
  DWORD protocol_;
  std::string reader_;
  std::vector<uint8_t> buffer_;
};

// One connection being made on a thread of its own.
struct Attempt {
  std::mutex mtx;
  std::condition_variable done_cv;
  bool done = false;
  bool abandoned = false;
  LONG rv = SCARD_S_SUCCESS;
  SCARDCONTEXT context = 0;
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
};

void make_connection(const std::shared_ptr<Attempt>& attempt, const std::string& reader,
                     PcscOptions options) {
  SCARDCONTEXT context = 0;
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
  bool have_context = false;
  bool connected = false;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rv == SCARD_S_SUCCESS) {
    have_context = true;
    const auto deadline = std::chrono::steady_clock::now() + options.busy_wait;
    for (;;) {
      rv = pcsc::connect(context, reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
      if (rv != SCARD_E_SHARING_VIOLATION || std::chrono::steady_clock::now() >= deadline)
        break;
      std::this_thread::sleep_for(options.busy_retry);
    }
    if (rv == SCARD_S_SUCCESS) {
      connected = true;
      rv = SCardBeginTransaction(handle);
    }
  }
  std::lock_guard<std::mutex> guard{attempt->mtx};
  if (attempt->abandoned || rv != SCARD_S_SUCCESS) {
    if (connected) {
      if (rv == SCARD_S_SUCCESS)
        SCardEndTransaction(handle, SCARD_LEAVE_CARD);
      SCardDisconnect(handle, SCARD_LEAVE_CARD);
    }
    if (have_context)
      SCardReleaseContext(context);
  } else {
    attempt->context = context;
    attempt->handle = handle;
    attempt->protocol = protocol;
  }
  attempt->rv = rv;
  attempt->done = true;
  attempt->done_cv.notify_all();
}

} // namespace

std::string pcsc_text(LONG rv) {
  if (const char* name = pcsc_name(rv))
    return name;
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(rv)));
  return std::string(buf) + " (" + pcsc::describe(rv) + ")";
}

oath::Failure pcsc_failure(LONG rv, oath::Step step, const std::string& reader) {
  using oath::Fault;
  Fault fault = Fault::reader_failure;
  switch (rv) {
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
      fault = pcsc::stopped_service_is_no_key ? Fault::no_reader : Fault::no_service;
      break;
    case SCARD_F_COMM_ERROR: fault = Fault::no_service; break;
    case SCARD_W_RESET_CARD: fault = Fault::reset; break;
    case SCARD_W_REMOVED_CARD:
    case SCARD_E_NO_SMARTCARD:
    case SCARD_E_READER_UNAVAILABLE:
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_NO_READERS_AVAILABLE: fault = Fault::removed; break;
    case SCARD_E_SHARING_VIOLATION: fault = Fault::sharing_violation; break;
    default: break;
  }
  std::string detail = pcsc_text(rv);
  if (fault == Fault::no_reader)
    detail = "no reader: the Smart Card service is stopped (" + detail + ")";
  if (!reader.empty())
    detail = "reader \"" + reader + "\": " + detail;
  return oath::Failure{fault, step, detail};
}

bool middleware_gone(LONG rv) {
  return rv == SCARD_E_NO_SERVICE || rv == SCARD_E_SERVICE_STOPPED || rv == SCARD_F_COMM_ERROR
         || rv == SCARD_E_INVALID_HANDLE;
}

PcscReaders::PcscReaders(PcscOptions options) : options_(options) {}

PcscReaders::~PcscReaders() { release(); }

void PcscReaders::release() {
  if (have_context_)
    SCardReleaseContext(context_);
  have_context_ = false;
  lost_ = false;
}

oath::Result<SCARDCONTEXT> PcscReaders::context() {
  if (lost_)
    release();
  if (!have_context_) {
    const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
    if (rv != SCARD_S_SUCCESS)
      return pcsc_failure(rv, oath::Step::connect);
    have_context_ = true;
  }
  return context_;
}

oath::Result<std::vector<ReaderState>> PcscReaders::states() {
  // A reader can go between listing and asking for its state: list again.
  for (int attempt = 0;; ++attempt) {
    auto ctx = context();
    if (!ctx)
      return ctx.failure();
    DWORD size = 0;
    LONG rv = pcsc::list_readers(*ctx, nullptr, &size);
    if (rv == SCARD_E_NO_READERS_AVAILABLE)
      return std::vector<ReaderState>{};
    std::vector<char> names;
    if (rv == SCARD_S_SUCCESS) {
      names.resize(size);
      rv = pcsc::list_readers(*ctx, names.data(), &size);
    }
    if (rv == SCARD_E_NO_READERS_AVAILABLE)
      return std::vector<ReaderState>{};
    if (rv != SCARD_S_SUCCESS) {
      auto failure = pcsc_failure(rv, oath::Step::connect);
      // A context of a middleware that was restarted meanwhile: make a new one.
      if (middleware_gone(rv))
        lost_service();
      if ((rv == SCARD_E_INSUFFICIENT_BUFFER || rv == SCARD_E_INVALID_HANDLE) && attempt < 3)
        continue;
      return failure;
    }
    std::vector<std::string> readers;
    for (size_t pos = 0; pos < names.size() && names[pos] != '\0';) {
      readers.emplace_back(&names[pos]);
      pos += readers.back().size() + 1;
    }
    std::vector<pcsc::ReaderState> query(readers.size());
    for (size_t i = 0; i < readers.size(); ++i) {
      query[i].szReader = readers[i].c_str();
      query[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (!query.empty()) {
      rv = pcsc::get_status_change(*ctx, 0, query.data(), static_cast<DWORD>(query.size()));
      if (rv == SCARD_E_UNKNOWN_READER && attempt < 3)
        continue;
      if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
        if (middleware_gone(rv))
          lost_service();
        return pcsc_failure(rv, oath::Step::connect);
      }
    }
    std::vector<ReaderState> result;
    for (size_t i = 0; i < readers.size(); ++i) {
      const DWORD state = query[i].dwEventState;
      result.push_back(ReaderState{readers[i], (state & SCARD_STATE_PRESENT) != 0,
                                   static_cast<uint16_t>(state >> 16)});
    }
    return result;
  }
}

oath::Result<std::unique_ptr<Connection>> PcscReaders::connect(const std::string& reader) {
  auto attempt = std::make_shared<Attempt>();
  std::thread(make_connection, attempt, reader, options_).detach();
  std::unique_lock<std::mutex> lock{attempt->mtx};
  // The thread itself gives up on exclusive holders after busy_wait; the
  // margin is for a busy machine.
  const auto limit = options_.busy_wait + std::chrono::milliseconds(500);
  if (!attempt->done_cv.wait_for(lock, limit, [&] { return attempt->done; })) {
    attempt->abandoned = true;
    return oath::Failure{oath::Fault::sharing_violation, oath::Step::connect,
                         "reader \"" + reader + "\": busy for " + std::to_string(limit.count())
                           + " ms"};
  }
  if (attempt->rv != SCARD_S_SUCCESS) {
    if (middleware_gone(attempt->rv))
      lost_service();
    return pcsc_failure(attempt->rv, oath::Step::connect, reader);
  }
  return std::unique_ptr<Connection>(
    new PcscConnection(*this, attempt->context, attempt->handle, attempt->protocol, reader));
}

} // namespace card
