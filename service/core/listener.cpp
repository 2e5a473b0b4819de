#include "core/listener.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "caf/all.hpp"
#include "caf/io/all.hpp"
#include "caf/io/basp/header.hpp"
#include "caf/io/basp_broker.hpp"
#include "caf/io/network/acceptor.hpp"
#include "caf/io/network/default_multiplexer.hpp"
#include "caf/io/network/scribe_impl.hpp"

#include "core/accept.h"
#include "core/peer_owner.h"

namespace otp_service {

namespace {

namespace net = caf::io::network;
namespace basp = caf::io::basp;
using steady = std::chrono::steady_clock;
using sweep_atom = caf::atom_constant<caf::atom("sweep")>;

class GateScribe;
class GuardedDoorman;

std::string seconds_text(std::chrono::milliseconds t) {
  auto ms = t.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// What the listener and its connections share. Used on the multiplexer's
// thread only, but for the log and the peer accounts, which lock.
struct Gate {
  explicit Gate(ListenerOptions options)
    : counts(std::move(options.policy)), log(std::move(options.log)),
      peers(std::move(options.peers)) {}

  const AccessLimits& limits() const { return counts.policy().limits; }

  // Writes `line` unless another under `key` was written less than a second ago.
  void note(const std::string& key, std::string line) {
    if (auto passed = throttle.pass(key, std::move(line), steady::now()))
      log->write(*passed);
  }

  // One sweep is due at a time: at the earliest deadline.
  void sweep_at(steady::time_point when) {
    if (next_sweep && *next_sweep <= when)
      return;
    next_sweep = when;
    auto delay = std::chrono::ceil<std::chrono::milliseconds>(when - steady::now());
    caf::delayed_anon_send(timer, std::max(delay, std::chrono::milliseconds{0}),
                           sweep_atom::value);
  }

  void sweep();
  void forget(const GateScribe* scribe);

  ConnectionCounts counts;
  LogThrottle throttle;
  std::shared_ptr<RequestLog> log;
  std::shared_ptr<PeerAccounts> peers;
  caf::actor timer; // delivers sweeps to the multiplexer's thread
  // Connections that have not greeted yet, with their deadlines.
  std::vector<std::pair<steady::time_point, caf::intrusive_ptr<GateScribe>>> greeting;
  caf::intrusive_ptr<GuardedDoorman> paused;
  steady::time_point resume_at;
  std::optional<steady::time_point> next_sweep;
};

// A connection that was let in: its reads are capped at the largest message
// the service takes, its handshake is watched for, and it counts against
// its account until it closes.
class GateScribe : public net::scribe_impl {
public:
  GateScribe(net::default_multiplexer& mpx, net::native_socket fd, std::shared_ptr<Gate> gate,
             Account owner, uint16_t port)
    : net::scribe_impl(mpx, fd), gate_(std::move(gate)), owner_(std::move(owner)), port_(port) {}

  void configure_read(caf::io::receive_policy::config config) override {
    if (config.second > gate_->limits().message && !dropping_) {
      drop("it announced a message of " + std::to_string(config.second)
           + " bytes, above the limit of " + std::to_string(gate_->limits().message));
      return;
    }
    net::scribe_impl::configure_read(config);
  }

  bool consume(caf::execution_unit* ctx, const void* buf, size_t size) override {
    if (dropping_)
      return true; // read into a small buffer and thrown away until closed
    if (stage_ != Stage::greeted)
      watch_handshake(ctx, static_cast<const char*>(buf), size);
    return net::scribe_impl::consume(ctx, buf, size);
  }

  bool greeted() const { return stage_ == Stage::greeted; }

  // Closes the connection, from outside the broker's handlers: the broker
  // learns of it as of any connection that broke.
  void drop(std::string why) {
    dropping_ = true;
    gate_->note(owner_, "closed a connection of " + owner_ + " (port " + std::to_string(port_)
                          + "): " + why);
    net::scribe_impl::configure_read(caf::io::receive_policy::at_most(64));
    net::shutdown_both(stream_.fd());
    caf::intrusive_ptr<GateScribe> self{this};
    stream_.backend().post([self] { self->io_failure(&self->stream_.backend(), net::operation::read); });
  }

protected:
  void detach_from(caf::io::abstract_broker* broker) override {
    net::scribe_impl::detach_from(broker);
    gate_->counts.release(owner_);
    if (node_)
      gate_->peers->remove(node_);
    gate_->forget(this);
  }

private:
  enum class Stage { header, payload, greeted };

  // A client's first message is its handshake: a header, then its node id.
  void watch_handshake(caf::execution_unit* ctx, const char* buf, size_t size) {
    caf::binary_deserializer source{ctx, buf, size};
    if (stage_ == Stage::header) {
      basp::header hdr;
      if (size == basp::header_size && !source(hdr)
          && hdr.operation == basp::message_type::client_handshake && hdr.payload_len > 0)
        stage_ = Stage::payload;
      return;
    }
    caf::node_id node;
    if (!source(node) && node) {
      node_ = node;
      gate_->peers->add(node, owner_);
    }
    stage_ = Stage::greeted;
    gate_->forget(this);
  }

  std::shared_ptr<Gate> gate_;
  const Account owner_;
  const uint16_t port_;
  Stage stage_ = Stage::header;
  bool dropping_ = false;
  caf::node_id node_;
};

// The listening socket: accepts one connection per readiness event, checks
// its owner before the broker sees it, and on running out of descriptors
// leaves the event loop for a moment instead of spinning in it.
class GuardedDoorman : public caf::io::doorman {
public:
  GuardedDoorman(net::default_multiplexer& mpx, net::native_socket fd, std::shared_ptr<Gate> gate)
    : caf::io::doorman(net::accept_hdl_from_socket(fd)), acceptor_(mpx, fd, this),
      gate_(std::move(gate)) {}

  bool new_connection() override {
    if (detached())
      return false;
    const auto fd = acceptor_.accepted_socket();
    auto& mpx = acceptor_.backend();
    const auto port = net::remote_port_of_fd(fd);
    const uint16_t peer_port = port ? *port : 0;
    auto owner = owner_of_peer(fd);
    if (auto refused = gate_->counts.admit(owner.account)) {
      net::close_socket(fd);
      gate_->note(owner.account.value_or("an unknown account"),
                  refusal_text(*refused, owner.account, peer_port, gate_->limits(), owner.why));
      return true;
    }
    net::keepalive(fd, true);
    caf::intrusive_ptr<GateScribe> scribe{
      new GateScribe(mpx, fd, gate_, *owner.account, peer_port), false};
    auto hdl = scribe->hdl();
    parent()->add_scribe(scribe);
    const auto deadline = steady::now() + gate_->limits().handshake;
    gate_->greeting.emplace_back(deadline, scribe);
    gate_->sweep_at(deadline);
    return caf::io::doorman::new_connection(&mpx, hdl);
  }

  void stop_accepting(const std::string& why) {
    remove_from_loop();
    gate_->paused.reset(this);
    gate_->resume_at = steady::now() + gate_->limits().pause;
    gate_->sweep_at(gate_->resume_at);
    gate_->note("the listener", "stopped accepting connections for "
                              + seconds_text(gate_->limits().pause) + ": " + why);
  }

  void graceful_shutdown() override {
    acceptor_.graceful_shutdown();
    detach(&acceptor_.backend(), false);
  }

  void launch() override { acceptor_.start(this); }

  std::string addr() const override {
    auto x = net::local_addr_of_fd(acceptor_.fd());
    return x ? *x : std::string{};
  }

  uint16_t port() const override {
    auto x = net::local_port_of_fd(acceptor_.fd());
    return x ? *x : 0;
  }

  void add_to_loop() override { acceptor_.activate(this); }
  void remove_from_loop() override { acceptor_.passivate(); }

private:
  class Acceptor : public net::acceptor {
  public:
    Acceptor(net::default_multiplexer& mpx, net::native_socket fd, GuardedDoorman* owner)
      : net::acceptor(mpx, fd), owner_(owner) {}

    void handle_event(net::operation op) override {
      if (op != net::operation::read)
        return;
      auto accepted = accept_connection(fd());
      switch (accepted.status) {
        case Accepted::connection:
          accepted_socket() = accepted.socket;
          owner_->new_connection();
          break;
        case Accepted::none_waiting:
          break;
        case Accepted::out_of_descriptors:
        case Accepted::failed:
          owner_->stop_accepting(accepted.error);
          break;
      }
    }

  private:
    GuardedDoorman* owner_;
  };

  Acceptor acceptor_;
  std::shared_ptr<Gate> gate_;
};

void Gate::forget(const GateScribe* scribe) {
  auto it = std::find_if(greeting.begin(), greeting.end(),
                         [&](auto& entry) { return entry.second.get() == scribe; });
  if (it != greeting.end())
    greeting.erase(it);
}

void Gate::sweep() {
  const auto now = steady::now();
  next_sweep.reset();
  std::vector<caf::intrusive_ptr<GateScribe>> late;
  for (auto& [deadline, scribe] : greeting)
    if (deadline <= now)
      late.push_back(scribe);
  for (auto& scribe : late) {
    forget(scribe.get());
    scribe->drop("no handshake within " + seconds_text(limits().handshake));
  }
  if (paused && resume_at <= now) {
    auto doorman = std::move(paused);
    doorman->add_to_loop();
  }
  // Deadlines are kept in order of acceptance: the first is the earliest.
  if (!greeting.empty())
    sweep_at(greeting.front().first);
  if (paused)
    sweep_at(resume_at);
}

} // namespace

caf::expected<uint16_t> publish_guarded(caf::actor_system& sys, const caf::actor& whom,
                                        uint16_t port, ListenerOptions options) {
  auto& mm = sys.middleman();
  auto& mpx = static_cast<net::default_multiplexer&>(mm.backend());
  auto fd = net::new_tcp_acceptor_impl(port, "127.0.0.1", options.reuse_address);
  if (!fd)
    return std::move(fd.error());
  auto gate = std::make_shared<Gate>(std::move(options));
  // The gate is a spawn argument: this actor library's sanitizer builds trip
  // over function actors spawned without one.
  gate->timer = sys.spawn<caf::hidden>(
    [&mpx](caf::event_based_actor*, std::weak_ptr<Gate> weak) -> caf::behavior {
      return {[weak, &mpx](sweep_atom) {
        mpx.dispatch([weak] {
          if (auto gate = weak.lock())
            gate->sweep();
        });
      }};
    },
    std::weak_ptr<Gate>{gate});
  caf::io::doorman_ptr doorman{new GuardedDoorman(mpx, *fd, gate), false};
  const auto actual = doorman->port();
  auto broker = mm.named_broker<caf::io::basp_broker>(caf::atom("BASP"));
  caf::anon_send(broker, caf::publish_atom::value, std::move(doorman), actual,
                 caf::actor_cast<caf::strong_actor_ptr>(whom), std::set<std::string>{});
  return actual;
}

} // namespace otp_service
