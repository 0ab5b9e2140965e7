#include <gtest/gtest.h>

#include <tbb/info.h>

#include "scheduler/scheduler.hpp"

using namespace quillfen;

TEST(Scheduler, AutoDetectFindsOneCpuBackendSizedByThePool) {
    auto scheduler = Scheduler::with_auto_detect();
    ASSERT_TRUE(scheduler);
    const int threads = tbb::info::default_concurrency();
    ASSERT_EQ(scheduler->backend_count(), 1u);
    EXPECT_EQ(scheduler->backend_info(), (std::vector<std::pair<std::string, std::string>>{
                                             {"CPU (" + std::to_string(threads) + " threads)", "CPU"}}));
    EXPECT_EQ(scheduler->backends()[0]->estimated_throughput_flops(), threads * 1e10);
}
