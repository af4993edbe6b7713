// The daemon peers count as up only when their own process listens on the chosen port; if that
// check were wrong, every daemon test would skip or talk to a stranger.
#include <gtest/gtest.h>
#include <unistd.h>

#include "PeerUtil.h"
#include "support/PeerDaemons.h"

TEST(PeerChecks, ListeningIsSeenOnlyForTheProcessThatHoldsTheSocket) {
  uint16_t port;
  {
    peer::Listener listener;
    port = listener.Port();
    EXPECT_TRUE(ProcessListensOn(getpid(), port));
    EXPECT_FALSE(ProcessListensOn(getppid(), port));
  }
  EXPECT_FALSE(ProcessListensOn(getpid(), port));
  // A bound socket that does not listen is no listener.
  RefusedLoopbackPort refused;
  ASSERT_NE(refused.Port(), 0);
  EXPECT_FALSE(ProcessListensOn(getpid(), refused.Port()));
}
