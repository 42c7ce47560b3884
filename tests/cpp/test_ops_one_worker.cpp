// The pool-backed tensor operations with a single worker. The tensor
// operations always use the process-wide pool, whose size is fixed from
// RAYON_NUM_THREADS when it is first used, so this binary sets it to 1
// before main. test_arithmetic and test_activation run the same battery with
// four workers against the same plain references: together they show that
// one worker and many give bit-identical results.
#include <gtest/gtest.h>

#include <cstdlib>

#include "nimbra/runtime/pool.hpp"
#include "test_util.hpp"

namespace {

const bool kOneWorker = [] { return setenv("RAYON_NUM_THREADS", "1", 1) == 0; }();

TEST(OneWorker, PoolHasOneWorker) {
  ASSERT_TRUE(kOneWorker);
  EXPECT_EQ(nimbra::runtime::worker_count(), 1u);
}

TEST(OneWorker, ArithmeticBatteryMatchesReference) {
  for (int layout_seed = 0; layout_seed < 6; ++layout_seed) tu::check_arith_battery(layout_seed);
}

TEST(OneWorker, SoftmaxBatteryMatchesReference) {
  for (int layout_seed = 0; layout_seed < 4; ++layout_seed) {
    tu::check_softmax_battery(layout_seed);
    tu::check_accurate_battery(layout_seed);
  }
}

}  // namespace
