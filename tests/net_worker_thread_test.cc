// WorkerThread with a test worker over socket pairs: the worker serves one
// end, the test holds the other. The test waits for states with a generous
// bound (5 s), never for a fixed time.
#include "network/server/net_worker_thread.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "support/test_support.h"

namespace {

// Whether `condition` holds within 5,000 naps of a millisecond (5 s or more).
bool eventually(const std::function<bool()>& condition) {
    for (int nap = 0; nap < 5000 && !condition(); ++nap)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

// The test's end of a pair reads end of file: the worker's end is shut down.
bool sees_end(int descriptor) {
    char byte;
    return eventually([&] { return recv(descriptor, &byte, 1, MSG_DONTWAIT) == 0; });
}

// Counts its hook calls; serve_job asks for more three times per job;
// begin_job waits while the test holds `hold`, and closes the socket
// `close_early` itself, so that the worker's own close fails.
struct CountingWorker : WorkerThread {
    ~CountingWorker() override { stop(); }
    bool waits() { return get_status() == WORKER_WAIT; }
    void begin_job(int socket, int) override {
        ++begins;
        std::lock_guard<std::mutex> wait_while_held(hold);
        if (socket == close_early)
            close(socket);
    }
    int serve_job() override { return ++serves % 4 != 0; }
    void end_job() override { ++ends; }
    std::atomic<int> begins{0}, serves{0}, ends{0}, close_early{-1};
    std::mutex hold;
};

// A worker without begin_job (or, kBegins, without end_job) gets SIGTRAP
// when it takes a job.
template <bool kBegins>
struct HooklessWorker : WorkerThread {
    ~HooklessWorker() override { stop(); }
    void begin_job(int in, int out) override {
        kBegins ? void() : WorkerThread::begin_job(in, out);
    }
    void end_job() override { kBegins ? WorkerThread::end_job() : void(); }
    void take_a_job() {
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        start();
        eventually([&] { return get_status() == WORKER_WAIT && assign(pair[0]) && false; });
    }
};

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~SocketPair() { close(fd[1]); }
    int fd[2] = {-1, -1};  // fd[0] goes to the worker, which closes it
};

TEST(WorkerThreadTest, ServesOneSocketAtATime) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(HooklessWorker<false>().take_a_job(), testing::KilledBySignal(SIGTRAP), "");
    EXPECT_EXIT(HooklessWorker<true>().take_a_job(), testing::KilledBySignal(SIGTRAP), "");
    testing::internal::CaptureStderr();
    CountingWorker worker;
    SocketPair pairs[4];
    EXPECT_EQ(worker.assign(pairs[0].fd[0]), 0);  // not waiting yet
    ASSERT_EQ(worker.start(), 1);
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));

    // A second descriptor keeps the socket alive after the worker's close, so
    // only a shutdown lets the peer see end of file.
    const int kept = dup(pairs[0].fd[0]);
    ASSERT_EQ(worker.assign(pairs[0].fd[0]), 1);
    EXPECT_TRUE(sees_end(pairs[0].fd[1]));
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));
    EXPECT_EQ(std::make_pair(worker.serves.load(), worker.ends.load()), std::make_pair(4, 1));
    EXPECT_EQ(close(pairs[0].fd[0]), -1);  // already closed
    close(kept);

    // Stopped while waiting, the worker stays in WORKER_WAIT but takes
    // nothing: of two sockets offered, one stays pending and the other is
    // refused. Started again, the worker takes the pending one.
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(worker.stop(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    // results[i]: what assign returned for pairs[i]; [0] for the second offer
    // of the refused one.
    std::atomic<int> results[4] = {-1, -1, -1, -1};
    std::jthread a([&] { results[1] = worker.assign(pairs[1].fd[0]); });
    std::jthread b([&] { results[2] = worker.assign(pairs[2].fd[0]); });
    EXPECT_TRUE(eventually([&] { return results[1] == 0 || results[2] == 0; }));
    EXPECT_EQ(worker.start(), 1);
    ASSERT_TRUE(eventually([&] { return results[1] + results[2] == 1; }));
    const int refused = results[1] == 0 ? 1 : 2;
    EXPECT_TRUE(sees_end(pairs[3 - refused].fd[1]));
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));

    // Held inside begin_job, the worker still waits with nothing pending; a
    // second socket is refused all the same, and assign returns only after
    // begin_job.
    std::unique_lock<std::mutex> holding(worker.hold);
    std::jthread c([&] { results[3] = worker.assign(pairs[3].fd[0]); });
    EXPECT_TRUE(eventually([&] { return worker.begins == 3; }));
    std::jthread d([&] { results[0] = worker.assign(pairs[refused].fd[0]); });
    EXPECT_TRUE(eventually([&] { return results[0] == 0; }));
    EXPECT_EQ(results[3], -1);
    holding.unlock();
    EXPECT_TRUE(eventually([&] { return results[3] == 1; }));
    EXPECT_TRUE(sees_end(pairs[3].fd[1]));
    EXPECT_EQ(close(pairs[refused].fd[0]), 0);  // refused, so still the caller's

    // A close that fails is reported, once; the worker goes on waiting.
    SocketPair last;
    worker.close_early = last.fd[0];
    ASSERT_TRUE(eventually([&] { return worker.waits(); }));
    EXPECT_EQ(worker.assign(last.fd[0]), 1);
    EXPECT_TRUE(eventually([&] { return worker.ends == 4 && worker.waits(); }));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(said, "> Error: network/server/net_worker_thread.cc("), 1) << said;
    EXPECT_EQ(count_of(said, ": Bad file descriptor\n"), 1) << said;
}

}  // namespace
