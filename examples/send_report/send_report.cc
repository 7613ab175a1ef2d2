// send_report: sends one report to a report server, the way a peer program
// does it with the network library.
//
//   send_report ADDRESS PORT LEVEL TEXT
//
// The report is one report record (network/system/report_record.h) packed
// with RecordCodec, carried in one plain frame (6 header bytes and the
// 266-byte record) of one UDP datagram. The server logs it as
// "LEVEL <level>: (<text>)".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "network/system/net_dgram_io.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s ADDRESS PORT LEVEL TEXT\n", argv[0]);
        return 2;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        fprintf(stderr, "send_report: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }

    // The header bytes are pad items: pack leaves them as they are, zero.
    uint8_t record[kReportRecordSize] = {};
    RecordCodec::pack(record, kReportFormat, atoi(argv[3]), argv[4]);

    const int socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_fd < 0) {
        perror("send_report: socket");
        return 1;
    }
    // The writer holds its 64 KiB queue inside: not on the stack.
    static DgramFrameWriter writer;
    writer.open(socket_fd, 0, &server);  // plain frames, as the server reads them
    writer.write_frame(record, sizeof record);

    // Every send() makes at most one non-blocking sendto; the first one after
    // open() only activates the writer. Poll until the queue is empty.
    for (int calls = 0; writer.fill() > 0 && calls < 50; ++calls) {
        uint32_t attempted = 0;
        if (writer.send(&attempted) == 0 && attempted) {
            pollfd writable = {socket_fd, POLLOUT, 0};
            poll(&writable, 1, 100);  // the socket would block: wait a little
        }
    }
    close(socket_fd);
    if (writer.fill() > 0) {
        fprintf(stderr, "send_report: the report could not be sent\n");
        return 1;
    }
    return 0;
}
