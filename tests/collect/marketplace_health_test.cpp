// The marketplace's health on its own, with made-up times: when an outage begins and ends, and
// the one probe of an outage, which nobody can lose.
#include "collect/marketplace_health.h"

#include <gtest/gtest.h>

#include <utility>

namespace shopwalk::test {
namespace {

using Host = MarketplaceHealth::Host;
using State = MarketplaceHealth::State;
using std::chrono::seconds;

class HealthTest : public ::testing::Test {
 protected:
  HealthTest() {
    RetryPolicy policy;
    policy.outageFailures = 5;
    policy.outageWindow = seconds(10);
    health.SetPolicy(policy);
  }

  void FailFiveTimes(Host host) {
    for (int i = 0; i < 5; ++i) health.Failed(host, t0);
  }

  const Clock::TimePoint t0{std::chrono::hours(1000)};
  MarketplaceHealth health;
};

TEST_F(HealthTest, RatingFailuresBetweenAnsweredHomePagesPauseTheWalk) {
  for (int i = 0; i < 4; ++i) {
    health.Answered(Host::ShopPages, t0);
    health.Failed(Host::RatingPages, t0);
  }
  EXPECT_EQ(health.StateAt(t0), State::Open);
  health.Answered(Host::ShopPages, t0);
  health.Failed(Host::RatingPages, t0);
  EXPECT_EQ(health.StateAt(t0), State::Outage);

  // A home page answering (the probe's first fetch) does not end it; the rating host does.
  EXPECT_FALSE(health.Answered(Host::ShopPages, t0));
  EXPECT_EQ(health.StateAt(t0), State::Outage);
  EXPECT_TRUE(health.Answered(Host::RatingPages, t0));
  EXPECT_EQ(health.StateAt(t0), State::Open);
}

TEST_F(HealthTest, AnOutageOfBothHostsEndsWhenBothAnswer) {
  FailFiveTimes(Host::ShopPages);
  FailFiveTimes(Host::RatingPages);
  EXPECT_EQ(health.OutageNumber(), 1);
  EXPECT_FALSE(health.Answered(Host::RatingPages, t0));
  EXPECT_EQ(health.StateAt(t0), State::Outage);
  EXPECT_TRUE(health.Answered(Host::ShopPages, t0));
  EXPECT_EQ(health.StateAt(t0), State::Open);
  // Failures spread over the window count as a run too, for each host on its own.
  health.Failed(Host::RatingPages, t0);
  health.Answered(Host::ShopPages, t0 + seconds(5));
  health.Failed(Host::RatingPages, t0 + seconds(10));
  EXPECT_EQ(health.StateAt(t0 + seconds(10)), State::Outage);
}

TEST_F(HealthTest, AProbeDroppedWithoutAReportGoesBackAndTheNextMayGoAtOnce) {
  FailFiveTimes(Host::ShopPages);
  ASSERT_EQ(health.StateAt(t0), State::Outage);
  {
    MarketplaceHealth::Probe probe = health.TakeProbe(t0);
    ASSERT_TRUE(probe);
    EXPECT_TRUE(health.ProbeOut());
    // One probe at a time.
    EXPECT_FALSE(health.TakeProbe(t0));
    // Moving it keeps it out.
    MarketplaceHealth::Probe moved = std::move(probe);
    EXPECT_TRUE(health.ProbeOut());
  }
  EXPECT_FALSE(health.ProbeOut());
  EXPECT_TRUE(health.TakeProbe(t0));
  EXPECT_EQ(health.ProbesSent(), 2);
}

TEST_F(HealthTest, AFailedProbeSetsWhenTheNextOneGoes) {
  FailFiveTimes(Host::ShopPages);
  MarketplaceHealth::Probe probe = health.TakeProbe(t0);
  EXPECT_TRUE(probe.Failed(t0 + seconds(4)));
  EXPECT_FALSE(probe);
  EXPECT_EQ(health.NextProbe(), t0 + seconds(4));
  EXPECT_FALSE(health.TakeProbe(t0 + seconds(3)));
  EXPECT_TRUE(health.TakeProbe(t0 + seconds(4)));
}

TEST_F(HealthTest, AProbeFromAnOutageThatEndedChangesNothingInTheNext) {
  FailFiveTimes(Host::ShopPages);
  const int first = health.OutageNumber();
  MarketplaceHealth::Probe old = health.TakeProbe(t0);
  EXPECT_EQ(old.Outage(), first);
  EXPECT_TRUE(health.Answered(Host::ShopPages, t0));
  EXPECT_EQ(health.StateAt(t0), State::Open);
  EXPECT_FALSE(health.ProbeOut());

  FailFiveTimes(Host::ShopPages);
  EXPECT_EQ(health.OutageNumber(), first + 1);
  MarketplaceHealth::Probe current = health.TakeProbe(t0);
  ASSERT_TRUE(current);
  // The old probe's failure is not the marketplace's news any more, and dropping it does not
  // free a second probe.
  EXPECT_FALSE(old.Failed(t0));
  EXPECT_TRUE(health.ProbeOut());
  EXPECT_FALSE(health.TakeProbe(t0));
}

}  // namespace
}  // namespace shopwalk::test
