// The daemon's life from the command line to SIGTERM, on the real binary:
// usage, detaching, pid file, run and log directories, log file, teardown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/daemon_harness.h"

namespace {

const std::vector<std::string> kUsage = {
    "Usage: " REPORT_SERVER_BINARY " [options]",
    "",
    "\t-l NAME, --logdir=NAME",
    "\t\tspecify logdir (default is )",
    "\t-v, --verbose",
    "\t\tstart with verbose mode",
    "\t-h, --help",
    "\t\tshow this message",
    "",
};

constexpr char kRunDirectory[] = "/var/run/vantor_report";

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status;
}

mode_t permission_bits(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 07777;
}

// Starts the daemon and waits until it is past its start-up, so that a
// SIGTERM from the test is taken by its wait loop.
void start(Daemon& daemon, const std::vector<std::string>& args) {
    ASSERT_EQ(daemon.run(args), 0) << "the caller sees status 0 once the first fork succeeded";
    ASSERT_TRUE(daemon.wait_for_pid_file()) << daemon.stderr_text();
    ASSERT_TRUE(daemon.wait_until_waiting_for_sigterm()) << daemon.stderr_text();
}

void stop_cleanly(Daemon& daemon) {
    const int status = daemon.stop();
    EXPECT_EQ(exit_code(status), 0) << "wait status " << status;
    EXPECT_FALSE(file_exists(Daemon::kPidFile)) << "the pid file is removed on the way out";
}

TEST(Lifecycle, UsageIsNineStampedLinesStatusZeroAndCreatesNothing) {
    const std::vector<std::vector<std::string>> usage_calls = {
        {"-h"}, {"--help"}, {"-x"}, {"-l"}, {"-l", "/home/logs", "-h"}, {"--logdir"}};
    for (const auto& args : usage_calls) {
        Daemon daemon;
        unlink(daemon.stderr_path().c_str());
        EXPECT_EQ(daemon.run(args), 0) << args[0];
        const std::string text = daemon.stderr_text();
        std::vector<std::string> lines = unstamped_lines(text);
        // getopt's own complaint about a bad option comes first, unstamped.
        const bool bad_option = args.size() == 1 && args[0] != "-h" && args[0] != "--help";
        if (bad_option) {
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines[0].find("option"), std::string::npos) << lines[0];
            lines.erase(lines.begin());
        } else {
            EXPECT_TRUE(every_line_stamped(text)) << text;
        }
        EXPECT_EQ(lines, kUsage) << args[0];
        EXPECT_FALSE(file_exists(kRunDirectory)) << args[0];
        EXPECT_FALSE(file_exists("/home/logs")) << args[0];
    }
}

TEST(Lifecycle, StartDetachesWritesPidFileAndLogsToTheLogDirectory) {
    Daemon daemon;
    start(daemon, {"-l", "/home/logs"});

    // The pid file holds the grandchild's id, with no newline: a process
    // that is not a session leader (the second fork) in a new session.
    EXPECT_EQ(read_file(Daemon::kPidFile), std::to_string(daemon.pid()));
    EXPECT_NE(getsid(daemon.pid()), getsid(0));
    EXPECT_NE(getsid(daemon.pid()), daemon.pid());
    char cwd[64] = "";
    readlink(("/proc/" + std::to_string(daemon.pid()) + "/cwd").c_str(), cwd, sizeof cwd - 1);
    EXPECT_STREQ(cwd, "/");

    EXPECT_EQ(permission_bits(kRunDirectory), 0u);
    EXPECT_EQ(permission_bits("/home/logs"), 0u);
    EXPECT_TRUE(file_exists("/home/logs/32730.log"));

    stop_cleanly(daemon);
    const std::string log = read_file("/home/logs/32730.log");
    EXPECT_TRUE(every_line_stamped(log)) << log;
    const std::vector<std::string> lines = unstamped_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "break by signal");
    EXPECT_EQ(daemon.stderr_text(), "") << "nothing reaches the inherited stream";
}

TEST(Lifecycle, EachStartTruncatesTheLogAndATrailingSlashNamesTheSameFile) {
    {
        Daemon daemon;
        start(daemon, {"--logdir=/home/logs"});
        stop_cleanly(daemon);
    }
    write_file("/home/logs/32730.log", "stale line from an earlier run\n");
    {
        Daemon daemon;
        start(daemon, {"-v", "-l", "/home/logs/"});
        EXPECT_EQ(permission_bits("/home/logs"), 0u) << "an existing directory is left alone";
        stop_cleanly(daemon);
    }
    const std::string log = read_file("/home/logs/32730.log");
    EXPECT_EQ(log.find("stale line"), std::string::npos) << log;
    EXPECT_NE(log.find("> break by signal\n"), std::string::npos) << log;
    EXPECT_TRUE(every_line_stamped(log)) << log;
}

TEST(Lifecycle, WithoutLogDirectoryLinesGoToTheInheritedStream) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-v"}, {"-l", ""}}) {
        Daemon daemon;
        unlink(daemon.stderr_path().c_str());
        start(daemon, args);
        EXPECT_EQ(read_file(Daemon::kPidFile), std::to_string(daemon.pid()));
        stop_cleanly(daemon);
        const std::string text = daemon.stderr_text();
        EXPECT_NE(text.find("> break by signal\n"), std::string::npos) << text;
        EXPECT_TRUE(every_line_stamped(text)) << text;
    }
}

TEST(Lifecycle, LogDirectoryThatCannotHoldTheLogKeepsTheDaemonRunning) {
    // A regular file where the log directory should be: mkdir finds it
    // (EEXIST, no report) and the log file cannot be opened beneath it.
    write_file("/home/not-a-directory", "");
    Daemon daemon;
    start(daemon, {"-l", "/home/not-a-directory"});
    EXPECT_TRUE(daemon.running());
    stop_cleanly(daemon);
    const std::string text = daemon.stderr_text();
    EXPECT_NE(text.find("> Error: network/system/net_logging.cc("), std::string::npos) << text;
    EXPECT_NE(text.find("): Not a directory\n"), std::string::npos) << text;
    EXPECT_NE(text.find("> break by signal\n"), std::string::npos) << text;
}

TEST(Lifecycle, LogDirectoryTooLongForTheLogPathIsRefusedBeforeStarting) {
    const std::string longest_fitting = "/home/" + std::string(239, 'd');  // 245 characters
    const std::string too_long = longest_fitting + "d";
    Daemon refused;
    EXPECT_EQ(refused.run({"-l", too_long}), 1);
    EXPECT_NE(refused.stderr_text().find("log directory too long"), std::string::npos);
    EXPECT_FALSE(file_exists(kRunDirectory));

    Daemon accepted;
    start(accepted, {"-l", longest_fitting});
    EXPECT_TRUE(file_exists(longest_fitting + "/32730.log"));
    stop_cleanly(accepted);
}

}  // namespace
