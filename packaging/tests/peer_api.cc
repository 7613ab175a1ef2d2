// A peer of the installed network library, built by check_package.sh against
// the unpacked package alone. Its #include lines of "network/..." are the
// headers it covers, and the check wants them to be exactly the installed
// ones; it calls into every class and function family those headers
// declare, so a header whose code is not in the library fails the link.
// Run, it sends a report and raw bytes to itself over loopback, has a worker
// serve one job and a data holder keep a block, and exits 0 when each came
// out as it went in.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "network/server/net_worker_thread.h"
#include "network/system/data_holder.h"
#include "network/system/net_dgram_io.h"
#include "network/system/net_function.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"
#include "network/system/rwlock_guard.h"
#include "network/system/server_thread.h"
#include "network/system/thread_annotations.h"

namespace {

int failures = 0;

void expect(bool holds, const char* what) {
    failures += !holds;
    if (!holds)
        fprintf(stderr, "peer: %s failed\n", what);
}

// Repeats `call` until it gives nonzero, for about a second: that value, or
// 0. An endpoint's first I/O calls after open() only step its state machine,
// and a worker changes its status in passes of its own.
template <typename Call>
uint32_t eventually(Call call) {
    uint32_t result = 0;
    for (int attempt = 0; attempt < 1000 && (result = call()) == 0; ++attempt)
        usleep(1000);
    return result;
}

struct CountingWorker : WorkerThread {
    ~CountingWorker() override { stop(); }
    void begin_job(int, int) override {}
    int serve_job() override { return ++served < 3; }
    void end_job() override {}
    std::atomic<int> served{0};
};

void* server_thread(void*) {
    enter_server_thread();
    RwLock lock;
    if (lock.init()) {
        RwLockGuard shared(lock, RwLockGuard::kShared);
    }
    cancellation_window([](void*) {}, nullptr);
    return nullptr;
}

}  // namespace

int main() {
    // One UDP socket on loopback sends to itself.
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof self;
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    bind(udp, reinterpret_cast<sockaddr*>(&self), sizeof self);
    getsockname(udp, reinterpret_cast<sockaddr*>(&self), &size);

    uint8_t record[kReportRecordSize] = {}, payload[kDgramPayloadMax];
    RecordCodec::pack(record, kReportFormat, 7, "peer");
    static DgramFrameWriter writer;
    static DgramFrameReaderLarge reader;
    static DgramBatch batch;
    writer.open(udp, 0, &self);
    reader.open(udp, 0, 1);
    writer.write_frame(record, sizeof record);
    eventually([] { return writer.send(); });
    uint32_t length = 0, level = 0;
    char text[kReportTextRoom];
    expect(eventually([] { return reader.receive_batch(batch); }) == 1 &&
               reader.append(batch.datagram(0), batch.length(0)) > 0 &&
               reader.next_frame(payload, &length) == 1 && reader.discard() == 0,
           "a frame");
    RecordCodec::unpack(payload, kReportFormat, &level, text);
    expect(level == 7 && strcmp(text, "peer") == 0 && RecordCodec::next_item("9S").count == 9 &&
               RecordCodec::packed_size("B") == RecordCodec::kBlockFormatMinSize,
           "the report record");
    static DgramWriter raw_writer;
    static DgramReader raw_reader;
    raw_writer.open(udp, &self);
    raw_reader.open(udp);
    raw_writer.write(record, 3);
    eventually([] { return raw_writer.send(); });
    expect(eventually([] { return raw_reader.receive(); }) == 3 && raw_reader.read(payload, 3) == 3,
           "raw bytes");
    static DgramFrameWriterLarge large_writer;
    static DgramFrameReader small_reader;
    large_writer.reset();
    small_reader.reset();
    net_dgram_scramble(payload, record, 1);
    expect(payload[0] == net_dgram_key[1] && net_dgram_serial_newer(1, 0) &&
               net_dgram_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9) == 0xD64E,
           "scrambling, serials, CRC");

    NetHost host;
    expect(host.host_name() && host.resolve("localhost") && host.name_info(&self) &&
               host.socket_address(udp) == self.sin_addr.s_addr &&
               host.interface_address("lo", payload) && host.interface_hw_address("lo", payload),
           "host look-ups");
    host.log_address(self.sin_addr.s_addr);  // a log line on standard error
    close(udp);

    CountingWorker worker;
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    const auto waits = [&] { return worker.get_status() == WorkerThread::WORKER_WAIT; };
    expect(worker.start() && eventually(waits) && worker.assign(pair[0]) &&
               eventually([&] { return worker.served == 3 && waits(); }) && worker.stop(),
           "a worker's job");
    pthread_t thread;
    const sigset_t blocked = server_thread_signals();
    expect(sigismember(&blocked, SIGTERM) &&
               create_server_thread(&thread, server_thread, nullptr) == 0 &&
               pthread_join(thread, nullptr) == 0,
           "a server thread");

    const auto holder = std::make_unique<DataHolder>();
    expect(holder->add("ab", 2) && holder->add(nullptr, 0) && holder->remove(1) &&
               holder->size_of(0) == 2 && memcmp(holder->address_of(0), "ab", 2) == 0 &&
               holder->count() == 1 && holder->bytes_used() == 2,
           "a data holder");
    holder->clear();
    return failures == 0 ? 0 : 1;
}
