// Rank 0's wait for results (mpi/result_wait.cpp) under mpiexec: every result
// arrives whole and in order while signals interrupt the wait's sleeps all
// the time, as a graceful stop's handler would.
#include <gtest/gtest.h>

#include "test_util.h"

TEST(ResultWaitMpi, EveryResultArrivesWhileSignalsInterruptTheSleeps)
{
  TempDir dir;
  CommandResult r = run_mpi(2, ZORV_RESULT_WAIT_CHECK, dir.path());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "results 200 signals many failures 0\n");
}
