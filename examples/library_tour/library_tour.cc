// library_tour: one short use of each part of the network library, for a
// peer's developer to start from. It includes every header the library
// installs. It talks to itself over loopback, says what each part did, and
// exits with status 0 when every part gave back what it was given.
//
//   the transport     a report record in a frame, sent and taken apart;
//                     raw bytes; scrambling, serials and the CRC
//   the record codec  pack, unpack, sizes
//   host look-ups     NetHost
//   threads           a WorkerThread serving a connection; a server thread
//                     with its status lock
//   the data holder   DataHolder
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

void tell(bool worked, const char* what) {
    printf("%-28s %s\n", what, worked ? "ok" : "FAILED");
    failures += !worked;
}

// Calls `step` until it gives nonzero, for about a second, and returns that
// value (or 0). An endpoint's first I/O calls after open() only step its
// state machine; a worker changes its status in passes of its own.
template <typename Step>
uint32_t eventually(Step step) {
    uint32_t result = 0;
    for (int attempt = 0; attempt < 1000 && (result = step()) == 0; ++attempt)
        usleep(1000);
    return result;
}

// A worker supplies the three hooks; this one serves a job in three steps.
struct CountingWorker : WorkerThread {
    ~CountingWorker() override { stop(); }  // before this part goes: the worker calls the hooks
    void begin_job(int, int) override {}
    int serve_job() override { return ++served < 3; }
    void end_job() override {}
    std::atomic<int> served{0};
};

// A server thread of one pass: signals blocked, a lock taken, then its
// cancellation window.
void* one_pass(void*) {
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
    // One UDP socket on loopback that sends to itself.
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof self;
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    bind(udp, reinterpret_cast<sockaddr*>(&self), sizeof self);
    getsockname(udp, reinterpret_cast<sockaddr*>(&self), &size);

    // A report record, packed and sent in a frame, then taken from a batch.
    // Endpoints hold their buffers inside: keep them off the stack.
    uint8_t record[kReportRecordSize] = {}, payload[kDgramPayloadMax];
    RecordCodec::pack(record, kReportFormat, 7, "tour");
    static DgramFrameWriter writer;
    static DgramFrameReaderLarge reader;
    static DgramBatch batch;
    writer.open(udp, 0, &self);
    reader.open(udp, 0, 1);  // plain frames, serials checked
    writer.write_frame(record, sizeof record);
    eventually([] { return writer.send(); });
    uint32_t length = 0, level = 0;
    char text[kReportTextRoom];
    tell(eventually([] { return reader.receive_batch(batch); }) == 1 &&
             reader.append(batch.datagram(0), batch.length(0)) > 0 &&
             reader.next_frame(payload, &length) == 1 && reader.discard() == 0,
         "a frame");
    RecordCodec::unpack(payload, kReportFormat, &level, text);
    tell(level == 7 && strcmp(text, "tour") == 0 && RecordCodec::next_item("9S").count == 9 &&
             RecordCodec::packed_size("B") == RecordCodec::kBlockFormatMinSize,
         "a report record");

    // Raw bytes: no frames, no boundaries.
    static DgramWriter raw_writer;
    static DgramReader raw_reader;
    raw_writer.open(udp, &self);
    raw_reader.open(udp);
    raw_writer.write(record, 3);
    eventually([] { return raw_writer.send(); });
    tell(eventually([] { return raw_reader.receive(); }) == 3 && raw_reader.read(payload, 3) == 3,
         "raw bytes");
    static DgramFrameWriterLarge large_writer;
    static DgramFrameReader small_reader;
    large_writer.reset();
    small_reader.reset();
    net_dgram_scramble(payload, record, 1);
    tell(payload[0] == net_dgram_key[1] && net_dgram_serial_newer(1, 0) &&
             net_dgram_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9) == 0xD64E,
         "scrambling, serials, CRC");

    NetHost host;
    tell(host.host_name() && host.resolve("localhost") && host.name_info(&self) &&
             host.socket_address(udp) == self.sin_addr.s_addr &&
             host.interface_address("lo", payload) && host.interface_hw_address("lo", payload),
         "host look-ups");
    host.log_address(self.sin_addr.s_addr);  // a log line on standard error
    close(udp);

    // A worker takes one end of a connection, serves it and closes it.
    CountingWorker worker;
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    const auto waits = [&] { return worker.get_status() == WorkerThread::WORKER_WAIT; };
    tell(worker.start() && eventually(waits) && worker.assign(pair[0]) &&
             eventually([&] { return worker.served == 3 && waits(); }) && worker.stop(),
         "a worker's job");
    close(pair[1]);
    pthread_t thread;
    const sigset_t blocked = server_thread_signals();
    tell(sigismember(&blocked, SIGTERM) && create_server_thread(&thread, one_pass, nullptr) == 0 &&
             pthread_join(thread, nullptr) == 0,
         "a server thread");

    // The data holder is 64 KiB: on the heap.
    const auto holder = std::make_unique<DataHolder>();
    tell(holder->add("ab", 2) && holder->add(nullptr, 0) && holder->remove(1) &&
             holder->size_of(0) == 2 && memcmp(holder->address_of(0), "ab", 2) == 0 &&
             holder->count() == 1 && holder->bytes_used() == 2,
         "a data holder");
    holder->clear();
    return failures == 0 ? 0 : 1;
}
