#include <gtest/gtest.h>

#include <tbb/info.h>

#include "scheduler/scheduler.hpp"

using namespace quillfen;

TEST(Scheduler, AutoDetectFindsOneCpuBackendSizedByThePool) {
    auto scheduler = Scheduler::with_auto_detect();
    ASSERT_TRUE(scheduler);
    EXPECT_EQ(scheduler->backend_count(), 1u);
    const auto threads = std::to_string(tbb::info::default_concurrency());
    const auto info = scheduler->backend_info();
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].first, "CPU (" + threads + " threads)");
    EXPECT_EQ(info[0].second, "CPU");
    EXPECT_EQ(scheduler->backends()[0]->estimated_throughput_flops(), tbb::info::default_concurrency() * 1e10);
}

TEST(Scheduler, BackendInfoIsAFreshCopyEachCall) {
    auto scheduler = Scheduler::with_auto_detect();
    ASSERT_TRUE(scheduler);
    auto first = scheduler->backend_info();
    first[0].first = "changed";
    first.clear();
    EXPECT_EQ(scheduler->backend_info().size(), 1u);
    EXPECT_EQ(scheduler->backend_info()[0].second, "CPU");
}
