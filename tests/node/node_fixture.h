// A node over the fake library and platform, and helpers to build what arrives.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_messaging.h"
#include "fake_platform.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/messaging_library.h"
#include "shared/node/service_node.h"
#include "test_memory.h"

namespace pm::test {

class NodeFixture : public ::testing::Test {
protected:
    FakeMessaging fake;
    MessagingLibrary library{fake};
    FakePlatform platform;

    // What the node's callback receives for a delivery of these bytes.
    void Deliver(ServiceNode& node, const Bytes& bytes, uint32_t elapsed = 0) {
        ASSERT_NE(fake.callback, nullptr);
        EXPECT_EQ(fake.callback(&node, fake.Deliver(bytes), elapsed), 0);
    }
    void Tick(ServiceNode& node, uint32_t elapsed) {
        EXPECT_EQ(fake.callback(&node, nullptr, elapsed), 0);
    }
};

} // namespace pm::test
