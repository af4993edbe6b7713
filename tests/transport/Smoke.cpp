#include <gtest/gtest.h>
#include "transport/NetTCPClient.h"
TEST(Smoke, Builds) { TNetTCPClient c; EXPECT_FALSE(c.IsConnected()); }
