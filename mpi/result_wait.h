// How rank 0 waits for the next result message.
#ifndef ZORV_RESULT_WAIT_H
#define ZORV_RESULT_WAIT_H

#include <mpi.h>

class ResultWait {
public:
    ResultWait();

    // Receives the next result message (up to `count` doubles, tag
    // kWorkTag) from any worker into buffer; *status tells which worker sent
    // it and how much.
    void receive(double* buffer, int count, MPI_Status* status);

private:
    static constexpr int kHistory = 16;  // waits remembered

    long quickest_wait() const;
    void remember_wait(long ns);

    long recent_waits_[kHistory] = {};  // nanoseconds, 0 for a result that was there at once
    int waits_seen_ = 0;
};

#endif
