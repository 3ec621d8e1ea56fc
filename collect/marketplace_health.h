// Whether the marketplace (all of its hosts together) is answering: it notices an outage from the
// failures that come in, and holds every request back while the server has asked for a pause
// (Retry-After). Safe from any thread.
//
// The marketplace is the shops' own hosts and the rating host that serves every shop; either can
// fail while the other answers. A run of failures of either pauses the walk, and only an answer
// from the one that failed ends that pause: a shop's home page answering says nothing about the
// rating host.
//
// During an outage one probe at a time asks whether the marketplace is back. The probe is a
// token (Probe): whoever takes it sends it or hands it back, and dropping it hands it back, so a
// probe that never went out can never hold the walk paused.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "base/clock.h"
#include "collect/retry_policy.h"

namespace shopwalk {

class MarketplaceHealth {
 public:
  enum class State {
    Open,    // requests go out as usual
    Outage,  // failures dominate: only one probe at a time goes out
    Held,    // the server asked for a pause: nothing goes out before HeldUntil()
  };

  // The hosts of the marketplace, each watched on its own.
  enum class Host {
    ShopPages,    // the shops' own hosts (home pages)
    RatingPages,  // the rating host
  };

  // The outage's one probe, held by whoever is to send it or has sent it. Movable, not copyable.
  // Dropped without Failed, it is handed back and the next probe may go at once; once the outage
  // is over, or another probe has replaced it, dropping it changes nothing.
  class Probe {
   public:
    Probe() = default;
    ~Probe();
    Probe(Probe&& other) noexcept;
    Probe& operator=(Probe&& other) noexcept;
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Whether this holds a probe.
    explicit operator bool() const { return health_ != nullptr; }
    // The outage the probe was taken in (outages are numbered from 1).
    int Outage() const { return outage_; }
    // The probe got no answer: the next one may go at `next`. True when it was still the probe
    // of the outage, so its failure was the marketplace's; false when the outage had ended (or
    // another probe had replaced it) meanwhile. Holds nothing afterwards.
    bool Failed(Clock::TimePoint next);

   private:
    friend class MarketplaceHealth;
    Probe(MarketplaceHealth* health, std::uint64_t serial, int outage)
        : health_(health), serial_(serial), outage_(outage) {}
    void GiveBack();

    MarketplaceHealth* health_ = nullptr;
    std::uint64_t serial_ = 0;
    int outage_ = 0;
  };

  explicit MarketplaceHealth(const RetryPolicy& policy = {});
  void SetPolicy(const RetryPolicy& policy);

  // A request to `host` was answered (any final answer): that host's failures are over. True
  // when this ended an outage (no host of the marketplace is failing any longer).
  bool Answered(Host host, Clock::TimePoint now);
  // A request to `host` failed in a way worth retrying.
  void Failed(Host host, Clock::TimePoint now);
  // The server asked that nothing be sent before `until`.
  void HoldUntil(Clock::TimePoint until);

  State StateAt(Clock::TimePoint now) const;
  std::optional<Clock::TimePoint> HeldUntil() const;

  // Probing during an outage: takes the probe when one may go out now (none out, and the last
  // one's back-off has passed); holds nothing otherwise.
  Probe TakeProbe(Clock::TimePoint now);
  // Whether a probe is out (taken and neither answered, failed nor handed back).
  bool ProbeOut() const;
  // When the next probe may go, during an outage.
  std::optional<Clock::TimePoint> NextProbe() const;
  // Probes sent since the outage began.
  int ProbesSent() const;
  // The number of the current (or last) outage: 0 before the first, then 1, 2, ...
  int OutageNumber() const;

 private:
  // Ends the probe `serial` if it is still out; the next one may go at `next` (none: as soon as
  // this one could).
  bool EndProbe(std::uint64_t serial, std::optional<Clock::TimePoint> next);

  struct HostFailures {
    int inARow = 0;
    std::optional<Clock::TimePoint> first;  // since the host last answered
    bool failing = false;                   // the host's failures started the outage or joined it
  };
  HostFailures& Of(Host host) { return host == Host::ShopPages ? shopPages_ : ratingPages_; }

  mutable std::mutex mutex_;
  RetryPolicy policy_;
  HostFailures shopPages_;
  HostFailures ratingPages_;
  bool outage_ = false;
  int outageNumber_ = 0;
  std::optional<Clock::TimePoint> heldUntil_;
  bool probeOut_ = false;
  std::uint64_t probeSerial_ = 0;
  Clock::TimePoint nextProbe_;
  int probesSent_ = 0;
};

}  // namespace shopwalk
