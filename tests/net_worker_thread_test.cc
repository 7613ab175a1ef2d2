// WorkerThread with a test worker over socket pairs: the worker serves one
// end, the test holds the other. The test waits for states with a generous
// bound (5 s), never for a fixed time.
#include "network/server/net_worker_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "support/stderr_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Counts its hook calls; serve_job asks for more three times per job.
class CountingWorker : public WorkerThread {
  public:
    ~CountingWorker() override { stop(); }
    bool waits() { return get_status() == WORKER_WAIT; }

    std::atomic<int> begins{0}, serves{0}, ends{0}, begin_socket{-1};
    std::atomic<bool> open_at_end{false}, in_begin{false};
    std::atomic<bool> hold_begin{false};  // begin_job waits while set

  protected:
    void begin_job(int read_socket, int write_socket) override {
        begin_socket = read_socket == write_socket ? read_socket : -2;
        in_begin = true;
        while (hold_begin)
            sched_yield();
        served_this_job = 0;
        ++begins;
    }
    int serve_job() override {
        ++serves;
        return ++served_this_job <= 3 ? 1 : 0;
    }
    void end_job() override {
        open_at_end = fcntl(begin_socket, F_GETFD) != -1;
        ++ends;
    }

  private:
    int served_this_job = 0;
};

struct SocketPair {
    SocketPair() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        const timeval limit = {5, 0};  // a worker that never shuts down fails a read
        setsockopt(fd[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~SocketPair() { close(fd[1]); }
    bool peer_sees_end() {
        char byte;
        return read(fd[1], &byte, 1) == 0;
    }
    int fd[2] = {-1, -1};  // fd[0] goes to the worker, which closes it
};

TEST(WorkerThreadTest, ServesOneSocketThenWaitsAgain) {
    StderrCapture log;
    CountingWorker worker;
    SocketPair pair;
    // Not started, the status is WORKER_INIT, as it is right after start()
    // until the thread's second pass: assign() refuses.
    EXPECT_EQ(worker.assign(pair.fd[0]), 0);
    EXPECT_EQ(worker.stop(), 0);
    ASSERT_EQ(worker.start(), 1);
    EXPECT_EQ(worker.start(), 0);
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));

    // A second descriptor keeps the socket alive after the worker's close, so
    // only a shutdown lets the peer see end of file.
    const int kept = dup(pair.fd[0]);
    ASSERT_EQ(worker.assign(pair.fd[0]), 1);
    EXPECT_EQ(worker.begins, 1);  // begin_job has run when assign returns
    EXPECT_EQ(worker.begin_socket, pair.fd[0]);
    EXPECT_TRUE(pair.peer_sees_end());
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));
    EXPECT_EQ(worker.serves, 4);
    EXPECT_EQ(worker.ends, 1);
    EXPECT_TRUE(worker.open_at_end);
    EXPECT_EQ(fcntl(pair.fd[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    close(kept);

    const auto before = Clock::now();
    EXPECT_EQ(worker.stop(), 1);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(count_of(log.text(), "worker thread: already started\n"), 1);
    EXPECT_EQ(count_of(log.text(), "\n"), 1);
}

TEST(WorkerThreadTest, AssignRefusedWhileASocketIsHeld) {
    CountingWorker worker;
    SocketPair pairs[3];
    ASSERT_EQ(worker.start(), 1);
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));

    // Stopped while waiting, the worker stays in WORKER_WAIT but takes
    // nothing: of two sockets offered, one stays pending and the other is
    // refused. Started again, the worker takes the pending one.
    ASSERT_EQ(worker.stop(), 1);
    std::atomic<int> results[2] = {-1, -1};
    std::thread a([&] { results[0] = worker.assign(pairs[0].fd[0]); });
    std::thread b([&] { results[1] = worker.assign(pairs[1].fd[0]); });
    ASSERT_TRUE(eventually([&] { return results[0] == 0 || results[1] == 0; }));
    ASSERT_EQ(worker.start(), 1);
    a.join();
    b.join();
    ASSERT_EQ(results[0] + results[1], 1);
    const int refused = results[0] == 0 ? 0 : 1;
    EXPECT_TRUE(pairs[1 - refused].peer_sees_end());
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));

    // Held inside begin_job, the worker is still in WORKER_WAIT with nothing
    // pending; a second socket is refused all the same, and the one closed
    // afterwards is the one taken.
    worker.in_begin = false;
    worker.hold_begin = true;
    std::atomic<int> first{-1}, second{-1};
    std::thread taker([&] { first = worker.assign(pairs[2].fd[0]); });
    ASSERT_TRUE(eventually([&] { return worker.in_begin.load(); }));
    std::thread other([&] { second = worker.assign(pairs[refused].fd[0]); });
    EXPECT_TRUE(eventually([&] { return second == 0; }));
    EXPECT_EQ(first, -1);  // assign waits until begin_job has ended
    worker.hold_begin = false;
    taker.join();
    other.join();
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(pairs[2].peer_sees_end());
    EXPECT_TRUE(eventually([&] { return worker.ends == 2 && worker.waits(); }));
    EXPECT_NE(fcntl(pairs[refused].fd[0], F_GETFD), -1);
    close(pairs[refused].fd[0]);
}

// A derived worker without its own begin_job.
struct NoBeginWorker : WorkerThread {
    void end_job() override {}
};

void assign_to_worker_without_begin_job() {
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    NoBeginWorker worker;
    SocketPair pair;
    worker.start();
    eventually([&] { return worker.get_status() == WorkerThread::WORKER_WAIT; });
    worker.assign(pair.fd[0]);
    worker.stop();
}

TEST(WorkerThreadDeathTest, MissingBeginJobRaisesSigtrap) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(assign_to_worker_without_begin_job(), testing::KilledBySignal(SIGTRAP), "");
}

}  // namespace
