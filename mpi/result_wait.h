// How rank 0 waits for the next result message.
#ifndef ZORV_RESULT_WAIT_H
#define ZORV_RESULT_WAIT_H

#include <mpi.h>

#include <string>

#include <vector>

class ResultWait {
public:
    // For result messages of up to `most_doubles` doubles, and read
    // failures when workers read the raw files themselves (`failures`).
    ResultWait(int most_doubles, bool failures);
    // Withdraws the receives that are still waiting (there is no message
    // left for them when a phase ends).
    ~ResultWait();
    ResultWait(ResultWait const&) = delete;
    ResultWait& operator=(ResultWait const&) = delete;

    // Receives the next message of any worker to rank 0: a result message
    // (*results then points to its doubles, valid until the next call) or a
    // read failure (its text into *failure). Returns the message's tag,
    // kWorkTag or kReadFailureTag; *status tells which worker sent it and
    // how much.
    int receive(double const** results, std::string* failure, MPI_Status* status);

private:
    static constexpr int kHistory = 16;  // waits remembered

    long quickest_wait() const;
    void remember_wait(long ns);

    long recent_waits_[kHistory] = {};  // nanoseconds, 0 for a result that was there at once
    int waits_seen_ = 0;
    // A receive for each kind of message; the one that did not complete
    // stays posted for the next wait.
    std::vector<double> results_;
    std::vector<char> failure_text_;
    MPI_Request requests_[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};  // result, read failure
    int kinds_;  // 2 with read failures, 1 without
};

#endif
