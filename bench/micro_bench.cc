// Micro benchmarks of what the report server does per report: the frame
// checksum, taking frames from a datagram received through an AF_UNIX
// socket pair, unpacking the record, writing its line through net_log_open()
// into a file in /tmp, removed at once and truncated every 65,536 lines.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "network/server/report_intake.h"
#include "network/system/net_dgram_io.h"
#include "network/system/net_logging.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

std::vector<uint8_t> report_record(int level, const char* text) {
    std::vector<uint8_t> record(kReportRecordSize, 0);
    RecordCodec::pack(record.data(), kReportFormat, level, text);
    return record;
}

// A socket pair carrying a datagram of five report frames (CRC, length,
// serial, record), as a peer's writer packs them, to a frame reader.
// Static in each benchmark: the reader's 64 KiB buffer is not for the stack.
struct SocketPair {
    SocketPair() {
        const int room = 1 << 20;
        if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0 ||
            setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room) != 0)
            abort();
        reader.open(fds[0], 0, 0);
        reader.receive();  // the first call after open() only activates it
        for (uint16_t serial = 1; serial <= 5; ++serial) {
            const std::string text = "bench report 000000" + std::to_string(serial - 1);
            const std::vector<uint8_t> record = report_record(serial - 1, text.c_str());
            for (const uint16_t field : {net_dgram_crc16(record.data(), kReportRecordSize),
                                         uint16_t{kReportRecordSize}, serial})
                datagram.insert(datagram.end(), {uint8_t(field >> 8), uint8_t(field)});
            datagram.insert(datagram.end(), record.begin(), record.end());
        }
    }
    void send() {
        if (write(fds[1], datagram.data(), datagram.size()) != ssize_t(datagram.size()))
            abort();
    }
    int fds[2] = {-1, -1};
    DgramFrameReader reader;
    std::vector<uint8_t> datagram;
};

void BM_Crc16(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (auto _ : state)
        benchmark::DoNotOptimize(net_dgram_crc16(data.data(), static_cast<uint32_t>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["ns/byte"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Crc16)->Arg(kReportRecordSize)->Arg(DGRAM_MAX);  // a frame's payload, a whole datagram

// The socket's share: one datagram written and received, no frames taken.
void BM_DatagramThroughSocket(benchmark::State& state) {
    static SocketPair pair;
    for (auto _ : state) {
        pair.send();
        benchmark::DoNotOptimize(pair.reader.receive());
        pair.reader.reset();
    }
}
BENCHMARK(BM_DatagramThroughSocket);

// The same, then its frames taken one by one with next_frame (length and
// CRC checks, payload copy, buffer shift), and the call that finds none.
void BM_ReceiveAndTakeFiveFrames(benchmark::State& state) {
    static SocketPair pair;
    uint8_t payload[DGRAM_MAX];
    uint32_t length = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        pair.send();
        pair.reader.receive();
        for (; pair.reader.next_frame(payload, &length) == 1; ++frames)
            benchmark::DoNotOptimize(payload);
    }
    if (frames != static_cast<int64_t>(state.iterations()) * 5)
        state.SkipWithError("frames were lost");
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pair.datagram.size()));
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

// Logs report lines as the daemon does while no daily script runs, into
// the 256 KiB buffered log (a write(2) every few thousand lines).
struct BenchReportLog : ReportSink {
    explicit BenchReportLog(benchmark::State& bench_state) : state(bench_state) {}
    void report(uint32_t level, const char* text) override {
        net_log(kReportLineFormat, static_cast<int>(level), text);
        // The stream writes on at its offset; the pages below it are freed.
        if ((++lines & 0xFFFF) == 0 && ftruncate(fileno(stderr), 0) != 0)
            state.SkipWithError("ftruncate failed");
    }
    benchmark::State& state;
    int64_t lines = 0;
};

// One report line "LEVEL %d: (%s)" behind its stamp.
void BM_LogReportLine(benchmark::State& state) {
    const std::string text(static_cast<size_t>(state.range(0)), 'r');
    BenchReportLog log(state);
    for (auto _ : state)
        log.report(3, text.c_str());
    net_log_flush();
    state.SetItemsProcessed(log.lines);
}
BENCHMARK(BM_LogReportLine)->Arg(20)->Arg(kReportTextWidth);  // a short text, a full one

// The daemon's whole intake for one five-frame datagram: receive it in a batch,
// then ReportIntake: take each frame, unpack header and report, log the line.
void BM_IntakeFiveFrameDatagram(benchmark::State& state) {
    static SocketPair pair;
    static DgramBatch batch;
    ReportIntake intake(pair.reader);
    BenchReportLog log(state);
    for (auto _ : state) {
        pair.send();
        pair.reader.receive_batch(batch);
        intake.take(batch, log);
    }
    net_log_flush();
    if (log.lines != static_cast<int64_t>(state.iterations()) * 5)
        state.SkipWithError("reports were lost");
    state.SetItemsProcessed(log.lines);
}
BENCHMARK(BM_IntakeFiveFrameDatagram);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const std::string path = "/tmp/micro_bench." + std::to_string(getpid()) + ".log";
    // net_log_open points standard output at /dev/null: the table, and the context lines and
    // warnings meant for standard error (now the log), go to the original standard output.
    fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO), saved_stderr = dup(STDERR_FILENO);
    FILE* log = net_log_open(path.c_str());
    dup2(saved_stdout, STDOUT_FILENO);
    if (log == nullptr) {
        dprintf(saved_stderr, "micro_bench: cannot open %s\n", path.c_str());
        return 1;
    }
    unlink(path.c_str());  // the open stream is all it needs
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetErrorStream(&std::cout);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    net_log_close(log);
}
