// Pipe names and the pipe's DACL text.
#include <gtest/gtest.h>

#include "outside/kavipc32/pipe_naming.h"

using namespace kavipc;

TEST(PipeNamingTest, OnePipePerNode) {
    EXPECT_EQ(PipePathForNode("ProcMgr"), "\\\\.\\pipe\\kavipc32\\ProcMgr");
}

TEST(PipeNamingTest, DaclNamesSystemAdministratorsAndTheCreator) {
    EXPECT_EQ(PipeSddl("S-1-5-21-1-2-3-1000"),
              "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;S-1-5-21-1-2-3-1000)");
    // no usable account: nobody else is admitted
    EXPECT_EQ(PipeSddl(""), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(PipeSddl("S-1-5)(A;;GA;;;WD"), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(PipeSddl("WD"), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
}
