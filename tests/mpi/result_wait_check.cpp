// Rank 0's wait for results under a storm of signals, for test_result_wait_mpi:
// rank 0 takes SIGALRM every 20 microseconds (each interrupts whatever sleep
// the wait is in) while it receives kResults results that rank 1 sends after
// delays from none to 3 ms. Prints "results R signals S" and exits 0 when
// every result came in order, whole, from rank 1.
#include <mpi.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "mpi/protocol.h"
#include "mpi/result_wait.h"

namespace {

constexpr int kResults = 200;
volatile sig_atomic_t signals = 0;

void count_signal(int) { signals = signals + 1; }

void pause_us(long us)
{
  timespec t = {us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&t, &t) != 0) {
  }
}

}  // namespace

int main(int argc, char** argv)
{
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  int failures = 0;
  static long const delays_us[] = {0, 30, 300, 3000, 5, 1000};
  if (rank == 1) {
    double message[kResultDoubles];
    for (int i = 0; i < kResults; ++i) {
      pause_us(delays_us[i % 6]);
      for (int k = 0; k < kResultDoubles; ++k) message[k] = i + 0.5 * k;
      MPI_Send(message, kResultDoubles, MPI_DOUBLE, 0, kWorkTag, MPI_COMM_WORLD);
    }
  } else if (rank == 0) {
    struct sigaction action = {};
    action.sa_handler = count_signal;  // no SA_RESTART: sleeps end with EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval every = {{0, 20}, {0, 20}};
    setitimer(ITIMER_REAL, &every, nullptr);
    ResultWait wait(kResultDoubles, true);
    for (int i = 0; i < kResults; ++i) {
      MPI_Status status;
      double const* buffer = nullptr;
      std::string failure;
      wait.receive(&buffer, &failure, &status);
      bool whole = status.MPI_SOURCE == 1 && status.MPI_TAG == kWorkTag;
      for (int k = 0; k < kResultDoubles; ++k) whole = whole && buffer[k] == i + 0.5 * k;
      failures += !whole;
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    std::printf("results %d signals %s failures %d\n", kResults, signals > kResults ? "many" : "few",
                failures);
  }
  MPI_Finalize();
  return failures == 0 ? 0 : 1;
}
