// The restart back-off, the supervision of the pieces and the service's status reports.
#include <gtest/gtest.h>

#include <cstdint>

#include "outside/pmsvc/restart_policy.h"
#include "outside/pmsvc/status_model.h"
#include "outside/pmsvc/supervisor.h"

namespace pmsvc {
namespace {

TEST(RestartPolicy, DelayDoublesFromOneSecondUpToAMinute) {
    struct Row {
        uint32_t failures, delay_ms;
    } rows[] = {{0, 0},     {1, 0},     {2, 1000},  {3, 2000},   {4, 4000},
                {7, 32000}, {8, 60000}, {9, 60000}, {33, 60000}, {0xFFFFFFFFu, 60000}};
    for (const auto& r : rows)
        EXPECT_EQ(RestartDelayMs(r.failures), r.delay_ms) << r.failures;
}

TEST(RestartPolicy, AMinuteUpCountsAsHealthy) {
    EXPECT_EQ(NextFailureCount(5, kStableRunMs), 1u);
    EXPECT_EQ(NextFailureCount(5, kStableRunMs - 1), 6u);
    EXPECT_EQ(NextFailureCount(0, 0), 1u);
}

TEST(Supervisor, GateRunsOnlyWhenConfiguredAndPresent) {
    struct Row {
        bool configured, present;
        size_t pieces;
    } rows[] = {{false, false, 2}, {true, false, 2}, {false, true, 2}, {true, true, 3}};
    for (const auto& r : rows) {
        auto plan = PlanPieces(r.configured, r.present);
        ASSERT_EQ(plan.size(), r.pieces);
        // The host before the agent (it forwards to the host), the gate last.
        EXPECT_EQ(plan[0].program, "pmhost.exe");
        EXPECT_EQ(plan[0].quit_node, "KAVMonitorClientNC");
        EXPECT_EQ(plan[1].program, "quorlent.exe");
        EXPECT_EQ(plan[1].quit_node, "ProcMgr");
        if (r.pieces == 3) {
            EXPECT_EQ(plan[2].program, "pmgate.exe");
        }
    }
}

TEST(Supervisor, RestartsAtOnceThenBacksOffAndStopsRestarting) {
    Supervisor s(PlanPieces(false, false), 1000);
    EXPECT_EQ(s.DueNow(1000), (std::vector<size_t>{0, 1}));
    s.OnStarted(0, 1000);
    s.OnStarted(1, 1000);
    EXPECT_EQ(s.WaitMs(1000), kForever);
    EXPECT_TRUE(s.DueNow(1000).empty());

    // The agent ends after 5 s: at once; again at once after start: 1 s; then 2 s.
    RestartDecision d = s.OnExited(1, 6000);
    EXPECT_EQ(d.delay_ms, 0u);
    EXPECT_EQ(s.DueNow(6000), (std::vector<size_t>{1}));
    s.OnStarted(1, 6000);
    d = s.OnExited(1, 6100);
    EXPECT_EQ(d.delay_ms, 1000u);
    EXPECT_EQ(d.failures_in_row, 2u);
    EXPECT_EQ(s.WaitMs(6100), 1000u);
    EXPECT_TRUE(s.DueNow(7099).empty());
    EXPECT_EQ(s.DueNow(7100), (std::vector<size_t>{1}));
    EXPECT_EQ(s.WaitMs(9000), 0u);
    // A start that fails counts as an exit in a row.
    d = s.OnStartFailed(1, 7100);
    EXPECT_EQ(d.delay_ms, 2000u);
    s.OnStarted(1, 9100);
    // Up for a minute: healthy again.
    d = s.OnExited(1, 9100 + kStableRunMs);
    EXPECT_EQ(d.delay_ms, 0u);
    EXPECT_TRUE(s.running(0));

    // A clock that goes back never holds a restart longer than the longest back-off.
    s.OnStarted(1, 100000);
    d = s.OnExited(1, 100000);
    EXPECT_EQ(d.delay_ms, 1000u);
    EXPECT_EQ(s.WaitMs(99999), 1001u);
    EXPECT_EQ(s.DueNow(100000 - kMaxRestartDelayMs), (std::vector<size_t>{1}));
    EXPECT_EQ(s.WaitMs(100000 - kMaxRestartDelayMs), 0u);

    s.BeginStop();
    EXPECT_TRUE(s.DueNow(1000000).empty());
    EXPECT_EQ(s.WaitMs(1000000), kForever);
}

TEST(Supervisor, ExitLineSaysWhenTheRestartComes) {
    PieceSpec agent{"quorlent.exe", "ProcMgr"};
    EXPECT_NE(DescribeExit(agent, 3, {0, 1}).find("now"), std::string::npos);
    EXPECT_NE(DescribeExit(agent, 3, {4000, 4}).find("in 4 s"), std::string::npos);
}

TEST(StatusSequence, CheckPointsGrowWhilePendingAndOnlyRunningAcceptsControls) {
    StatusSequence seq;
    struct Step {
        SvcState state;
        uint32_t checkpoint, accepted, wait_hint;
    } steps[] = {
        {SvcState::kStartPending, 1, 0, 500},
        {SvcState::kStartPending, 2, 0, 500},
        {SvcState::kRunning, 0, kAcceptStop | kAcceptShutdown, 0},
        {SvcState::kStopPending, 1, 0, 500},
        {SvcState::kStopPending, 2, 0, 500},
        {SvcState::kStopPending, 3, 0, 500},
        {SvcState::kStopped, 0, 0, 0},
    };
    for (const auto& s : steps) {
        StatusReport r = seq.Next(s.state, 500);
        EXPECT_EQ(r.state, s.state);
        EXPECT_EQ(r.checkpoint, s.checkpoint) << static_cast<int>(s.state);
        EXPECT_EQ(r.controls_accepted, s.accepted) << static_cast<int>(s.state);
        EXPECT_EQ(r.wait_hint_ms, s.wait_hint) << static_cast<int>(s.state);
    }
    EXPECT_EQ(seq.Next(SvcState::kStopped, 0, 1066).exit_code, 1066u);
}

} // namespace
} // namespace pmsvc
