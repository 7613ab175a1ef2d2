// Micro benchmarks of the steps the report server takes for every report:
// the frame checksum, taking frames out of a received datagram, unpacking
// the report record and writing its log line. Google Benchmark prints the
// time per operation; the counters give bytes/s and frames/s.
//
// Datagrams travel through a real datagram socket pair (AF_UNIX, so no
// network is touched): the reader calls recv(2) as it does in the daemon.
// The log benchmark writes into a buffered file the way the daemon does,
// through net_log_open(); the file lives in a temporary directory
// (REPORT_BENCH_DIR, else /tmp) and is truncated as the benchmark goes, so
// it never grows beyond a few MiB.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/net_logging.h"
#include "network/system/record_codec.h"
#include "network/server/report_intake.h"
#include "network/system/report_record.h"

namespace {

constexpr uint32_t kFramesPerDatagram = 5;

std::vector<uint8_t> report_record(int level, const char* text) {
    std::vector<uint8_t> record(kReportRecordSize, 0);
    RecordCodec::pack(record.data(), kReportFormat, level, text);
    return record;
}

void put_be16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Five report frames back to back, as a peer's writer packs them.
std::vector<uint8_t> five_frame_datagram() {
    std::vector<uint8_t> datagram;
    for (uint32_t f = 0; f < kFramesPerDatagram; ++f) {
        char text[32];
        snprintf(text, sizeof text, "bench report %07u", f);
        const std::vector<uint8_t> record = report_record(static_cast<int>(f), text);
        uint8_t header[kDgramHeaderSize];
        put_be16(header, net_dgram_crc16(record.data(), kReportRecordSize));
        put_be16(header + 2, kReportRecordSize);
        put_be16(header + 4, static_cast<uint16_t>(f + 1));
        datagram.insert(datagram.end(), header, header + kDgramHeaderSize);
        datagram.insert(datagram.end(), record.begin(), record.end());
    }
    return datagram;
}

void BM_Crc16(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(net_dgram_crc16(data.data(), static_cast<uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["ns/byte"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// A report frame's payload, and a whole datagram.
BENCHMARK(BM_Crc16)->Arg(kReportRecordSize)->Arg(DGRAM_MAX);

// A socket pair carrying datagrams to a frame reader.
class SocketPair {
  public:
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_) != 0) {
            perror("socketpair");
            abort();
        }
        const int room = 1 << 20;
        setsockopt(fds_[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        reader_.open(fds_[0], 0, 0);
        reader_.receive();  // the first call after open() only activates it
    }
    ~SocketPair() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void send(const std::vector<uint8_t>& datagram) {
        if (write(fds_[1], datagram.data(), datagram.size()) !=
            static_cast<ssize_t>(datagram.size()))
            abort();
    }
    DgramFrameReader& reader() { return reader_; }

  private:
    int fds_[2] = {-1, -1};
    DgramFrameReader reader_;
};

// The socket's share: one datagram written and received, no frames taken.
void BM_DatagramThroughSocket(benchmark::State& state) {
    static SocketPair pair;  // the reader's 64 KiB buffer is not for the stack
    const std::vector<uint8_t> datagram = five_frame_datagram();
    for (auto _ : state) {
        pair.send(datagram);
        benchmark::DoNotOptimize(pair.reader().receive());
        pair.reader().reset();
    }
}
BENCHMARK(BM_DatagramThroughSocket);

// One five-frame datagram written, received and taken apart frame by frame
// with next_frame (length and CRC checks, payload copy, buffer shift).
// Less BM_DatagramThroughSocket, this is five next_frame calls and the last
// one that finds the buffer empty.
void BM_ReceiveAndTakeFiveFrames(benchmark::State& state) {
    static SocketPair pair;
    const std::vector<uint8_t> datagram = five_frame_datagram();
    uint8_t payload[DGRAM_MAX];
    uint32_t length = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        pair.send(datagram);
        pair.reader().receive();
        while (pair.reader().next_frame(payload, &length) == 1) {
            benchmark::DoNotOptimize(payload);
            ++frames;
        }
    }
    if (frames != static_cast<int64_t>(state.iterations()) * kFramesPerDatagram)
        state.SkipWithError("frames were lost");
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(datagram.size()));
}
BENCHMARK(BM_ReceiveAndTakeFiveFrames);

void BM_UnpackReportHeader(benchmark::State& state) {
    const std::vector<uint8_t> record = report_record(3, "bench report 0000001");
    uint32_t type = 0;
    for (auto _ : state) {
        RecordCodec::unpack(record.data(), kReportHeaderFormat, &type);
        benchmark::DoNotOptimize(type);
    }
}
BENCHMARK(BM_UnpackReportHeader);

void BM_UnpackReport(benchmark::State& state) {
    const std::vector<uint8_t> record = report_record(3, "bench report 0000001");
    uint32_t level = 0;
    char text[kReportTextRoom];
    for (auto _ : state) {
        RecordCodec::unpack(record.data(), kReportFormat, &level, text);
        benchmark::DoNotOptimize(level);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_UnpackReport);

// One report's line as the daemon writes it while no daily script runs.
void log_report(uint32_t level, const char* text) {
    net_log(kReportLineFormat, static_cast<int>(level), text);
}

// Set up in main(): the process's standard error is the log file.
std::string log_path;

// One report line "LEVEL %d: (%s)" behind its stamp, into the 256 KiB
// buffered log file (a write(2) every few thousand lines).
void BM_LogReportLine(benchmark::State& state) {
    const std::string text(static_cast<size_t>(state.range(0)), 'r');
    int64_t lines = 0;
    for (auto _ : state) {
        log_report(3, text.c_str());
        if ((++lines & 0xFFFF) == 0) {
            // Keeps the file small: the stream writes on at its offset, and
            // the pages below it are freed.
            if (ftruncate(fileno(stderr), 0) != 0)
                state.SkipWithError("ftruncate failed");
        }
    }
    net_log_flush();
    state.SetItemsProcessed(lines);
}
// A short text, and a full 256-character one.
BENCHMARK(BM_LogReportLine)->Arg(20)->Arg(kReportTextWidth);

// Logs every report as the daemon does, and keeps the log file small.
class BenchReportLog : public ReportSink {
  public:
    explicit BenchReportLog(benchmark::State& state) : state_(state) {}
    void report(uint32_t level, const char* text) override {
        log_report(level, text);
        if ((++lines & 0xFFFF) == 0 && ftruncate(fileno(stderr), 0) != 0)
            state_.SkipWithError("ftruncate failed");
    }
    int64_t lines = 0;

  private:
    benchmark::State& state_;
};

// The daemon's whole intake for one five-frame datagram: receive it in a
// batch, then its own intake: take each frame, unpack header and report, log
// the line.
void BM_IntakeFiveFrameDatagram(benchmark::State& state) {
    static SocketPair pair;
    static DgramBatch batch;
    ReportIntake intake(pair.reader());
    const std::vector<uint8_t> datagram = five_frame_datagram();
    BenchReportLog log(state);
    for (auto _ : state) {
        pair.send(datagram);
        pair.reader().receive_batch(batch);
        intake.take(batch, log);
    }
    net_log_flush();
    if (log.lines != static_cast<int64_t>(state.iterations()) * kFramesPerDatagram)
        state.SkipWithError("reports were lost");
    state.SetItemsProcessed(log.lines);
}
BENCHMARK(BM_IntakeFiveFrameDatagram);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // net_log_open points standard output at /dev/null along with the log;
    // the benchmark's own table goes to the original standard output.
    const char* base = getenv("REPORT_BENCH_DIR");
    std::string directory = std::string(base != nullptr ? base : "/tmp") + "/micro_bench.XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    log_path = directory + "/32730.log";
    fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    const int saved_stderr = dup(STDERR_FILENO);
    FILE* log = net_log_open(log_path.c_str());
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    if (log == nullptr) {
        dprintf(saved_stderr, "micro_bench: cannot open %s\n", log_path.c_str());
        return 1;
    }

    // The reporter's context lines and warnings would go to the standard
    // error stream, now the log: they join the table on standard output.
    benchmark::ConsoleReporter reporter(isatty(STDOUT_FILENO)
                                            ? benchmark::ConsoleReporter::OO_ColorTabular
                                            : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetErrorStream(&std::cout);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    net_log_close(log);
    unlink(log_path.c_str());
    rmdir(directory.c_str());
    return 0;
}
