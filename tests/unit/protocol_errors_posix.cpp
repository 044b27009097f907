// A reset connection makes a field read fail with -1 (the system reports
// the reset to recv; wine reports it as an orderly end instead).
#include <gtest/gtest.h>

#include "net/protocol.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/loopback_pair.h"

TEST(ProtocolPosix, ReceiveErrorIsMinusOne) {
    resetAppState();
    LoopbackPair link;
    ASSERT_TRUE(link.open());
    link.resetPeer();
    sysSleepMs(50);
    char buf[4];
    EXPECT_EQ(recvDataBuffer(link.installer, buf, 4), -1);
}
