// report_send: sends reports to a report server from the command line.
//
// Each report is one report record (report_record.h) with the given level
// and text, carried in one frame; frames go out five to a datagram over UDP,
// unscrambled, to the server's port (REPORT_SERVER_PORT, 32730, unless -p says otherwise). The
// server writes every report it takes into its log as "LEVEL n: (text)".
//
//   report_send [-H host] [-p port] [-L level] [TEXT...]
//
// With TEXT arguments, each argument is one report. Without them, each line
// of standard input is one report (the newline is not sent; an empty line is
// an empty report), so a shell script can write
//
//   echo "disk full" | report_send -L 3
//   report_send -H logger.example -L 1 "backup started" "backup finished"
//   tail -n 20 /var/log/app.log | report_send -L 2
//
// Options come before the texts; "--" ends them, for a text that begins
// with "-". Nothing is cut silently: a text longer than the record's
// 256-byte field is cut to 256 bytes, and a line of standard input holding
// a NUL byte is cut at it (a report's text ends at its first NUL), each
// with a warning naming the text or line and where it was cut; the rest is
// sent. UDP gives no receipt: a report the server did not take is not
// noticed here.
//
// Exit status: 0 when every report was handed to the socket (also after a
// warning), 1 when standard input could not be read, the host could not be
// looked up (the resolver failed, not the name) or the socket failed, 2 for
// a bad command line (unknown option, bad level or port, a host name that
// is unknown or has no IPv4 address). Nothing is printed on success.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

constexpr char kSynopsis[] = "usage: report_send [-H host] [-p port] [-L level] [TEXT...]\n";
constexpr char kDescription[] =
    "Sends one report per TEXT, or one per line of standard input when no\n"
    "TEXT is given, to a report server over UDP.\n"
    "  -H host     server host name or IPv4 address (default 127.0.0.1)\n"
    "  -p port     server UDP port, 1 to 65535 (default %d)\n"
    "  -L level    report level, 0 to 255 (default 0)\n"
    "  -h, --help  print this text and exit\n"
    "Options come before the texts; \"--\" ends them.\n"
    "Texts longer than 256 bytes are cut to 256, lines at a NUL byte, with\n"
    "a warning. Exit status: 0 sent, 1 input, look-up or socket failure,\n"
    "2 bad command line.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Five frames of 272 bytes (266-byte record and 6-byte header) make 1360
// bytes; a sixth would pass DGRAM_MAX.
constexpr int kFramesPerDatagram = 5;
constexpr uint32_t kFrameSize = kReportRecordSize + kDgramHeaderSize;
static_assert(kFramesPerDatagram * kFrameSize <= DGRAM_MAX);
static_assert((kFramesPerDatagram + 1) * kFrameSize > DGRAM_MAX);

// A send the socket refuses for now (EAGAIN, EINTR) is retried once the
// socket is writable and after a short pause, so that a refusal poll does
// not see makes a slow retry, not a busy loop. After this many refusals in
// a row, with no datagram leaving, the send is given up: 3 to 30 seconds.
// Other send errors put the writer in its Failed state: no retry.
constexpr int kWritableWaitMs = 100;
constexpr long kRetryPauseNs = 10 * 1000 * 1000;
constexpr int kStallLimit = 300;
// The writer does no I/O on its first calls after open (it is still moving
// to its active state); more idle calls than this in a row mean it is stuck.
constexpr int kIdleCallLimit = 4;

// Parses a whole decimal integer within [low, high]. Returns 1, or 0 after
// an error line naming `what` and the text.
int parse_number(const char* what, const char* text, long low, long high, long* value) {
    errno = 0;
    char* end = nullptr;
    const long number = strtol(text, &end, 10);
    const char* digits = text[0] == '-' ? text + 1 : text;  // no blanks, no '+'
    if (!isdigit(static_cast<unsigned char>(digits[0])) || *end != '\0') {
        fprintf(stderr, "report_send: bad %s '%s': not an integer\n", what, text);
        return 0;
    }
    if (errno == ERANGE || number < low || number > high) {
        fprintf(stderr, "report_send: bad %s '%s': must be %ld to %ld\n", what, text, low, high);
        return 0;
    }
    *value = number;
    return 1;
}

// The resolver's work buffer: it starts at the 1024 bytes NetHost::resolve
// gives it and doubles while the resolver answers ERANGE (an entry with many
// aliases or addresses), up to 1 MiB, far above any real entry (a DNS
// answer is at most 64 KiB).
constexpr size_t kResolveBufferFirst = 1024;
constexpr size_t kResolveBufferMax = 1024 * 1024;

// Resolves `name`, a dotted IPv4 address or a host name, to its first IPv4
// address. Returns 0, or the exit status after an error line: kExitUsage
// when the name is unknown or has no IPv4 address, kExitFailure when the
// look-up itself failed (a name server out of reach, an entry too large).
//
// The retry with a larger buffer lives here, not in the library:
// NetHost::resolve hands out an address list that points into a work
// buffer of fixed size inside the object, the base of the server and
// worker classes, and its callers rely on exactly that (one call, no
// retry, the list valid while the object lives). A buffer that grows needs
// an owner for as long as the entry is read; this tool copies one address
// out at once, so it owns one for the span of the look-up. The call is the
// same gethostbyname_r, so a name resolves here as it does in the library.
int resolve_host(const char* name, in_addr* address) {
    if (inet_pton(AF_INET, name, address) == 1)
        return 0;
    std::vector<char> buffer(kResolveBufferFirst);
    hostent entry;
    hostent* result = nullptr;
    int resolver_error = 0;
    int status;
    while ((status = gethostbyname_r(name, &entry, buffer.data(), buffer.size(), &result,
                                     &resolver_error)) == ERANGE &&
           buffer.size() < kResolveBufferMax)
        buffer.resize(buffer.size() * 2);
    if (result != nullptr && result->h_addr_list[0] != nullptr) {
        memcpy(&address->s_addr, result->h_addr_list[0], sizeof address->s_addr);
        return 0;
    }
    if (resolver_error == HOST_NOT_FOUND || resolver_error == NO_DATA) {
        fprintf(stderr, "report_send: %s '%s'\n",
                resolver_error == HOST_NOT_FOUND ? "unknown host" : "no IPv4 address for host",
                name);
        return kExitUsage;
    }
    fprintf(stderr, "report_send: looking up host '%s' failed: %s\n", name,
            resolver_error == NETDB_INTERNAL ? strerror(status) : hstrerror(resolver_error));
    return kExitFailure;
}

// The sending side: one UDP socket and the frame writer that owns its queue.
class ReportSender {
  public:
    ReportSender() = default;
    ~ReportSender() {
        if (socket_ >= 0)
            close(socket_);
    }
    ReportSender(const ReportSender&) = delete;
    ReportSender& operator=(const ReportSender&) = delete;

    // Creates the socket and opens the writer towards `destination`.
    // Returns 1, or 0 after an error line.
    int open(const sockaddr_in& destination) {
        destination_ = destination;
        socket_ = socket(AF_INET, SOCK_DGRAM, 0);
        if (socket_ < 0) {
            fprintf(stderr, "report_send: socket: %s\n", strerror(errno));
            return 0;
        }
        return writer_.open(socket_, 0, &destination_);
    }

    // Queues one report of the `length` bytes at `text` and sends the queue
    // whenever it holds a full datagram. What the record cannot carry is
    // cut with a warning that names the report ("text 2", "line 7") by
    // `what` and `number`: the bytes from a NUL on (the record's text ends
    // at its first NUL) and those past the field's width. Returns 1, or 0
    // after an error line.
    int add(int level, const char* text, size_t length, const char* what, long number) {
        const char* nul = static_cast<const char*>(memchr(text, '\0', length));
        const size_t kept = nul != nullptr ? nul - text : length;
        if (kept > static_cast<size_t>(kReportTextWidth))
            fprintf(stderr, "report_send: warning: %s %ld is %zu bytes long, cut to %d\n", what,
                    number, length, kReportTextWidth);
        else if (nul != nullptr)
            fprintf(stderr,
                    "report_send: warning: %s %ld holds a NUL byte after %zu bytes, cut there\n",
                    what, number, kept);
        uint8_t record[kReportRecordSize];
        memset(record, 0, sizeof record);  // the header bytes are pad items: they keep these
        RecordCodec::pack(record, kReportFormat, level, text);
        if (writer_.write_frame(record, sizeof record) != 1) {
            fprintf(stderr, "report_send: the send queue is full\n");
            return 0;
        }
        if (++queued_ < kFramesPerDatagram)
            return 1;
        return flush();
    }

    // Sends everything queued. Returns 1, or 0 after an error line.
    int flush() {
        queued_ = 0;
        int idle_calls = 0;
        int stalls = 0;
        while (writer_.fill() > 0) {
            uint32_t attempted = 0;
            if (writer_.send(&attempted) > 0) {
                idle_calls = 0;
                stalls = 0;
                continue;
            }
            if (writer_.state() == DgramEndpoint::Failed) {
                fprintf(stderr, "report_send: sending to %s port %d failed\n",
                        inet_ntoa(destination_.sin_addr), ntohs(destination_.sin_port));
                return 0;
            }
            if (!attempted) {
                // A state step without I/O: the first calls after open.
                if (++idle_calls > kIdleCallLimit) {
                    fprintf(stderr, "report_send: the datagram writer does not send\n");
                    return 0;
                }
                continue;
            }
            // The socket refused for now, or the call failed and the next
            // one enters Failed: wait until the socket takes data again.
            if (++stalls > kStallLimit) {
                fprintf(stderr, "report_send: sending to %s port %d timed out\n",
                        inet_ntoa(destination_.sin_addr), ntohs(destination_.sin_port));
                return 0;
            }
            pollfd wait = {socket_, POLLOUT, 0};
            if (poll(&wait, 1, kWritableWaitMs) < 0 && errno != EINTR) {
                fprintf(stderr, "report_send: poll: %s\n", strerror(errno));
                return 0;
            }
            const timespec pause = {0, kRetryPauseNs};
            nanosleep(&pause, nullptr);
        }
        return 1;
    }

  private:
    int socket_ = -1;
    int queued_ = 0;  // frames queued since the last flush
    sockaddr_in destination_{};
    DgramFrameWriter writer_;
};

// Sends one report per line of standard input. Returns 1, or 0 after an
// error line.
int send_lines(ReportSender& sender, int level) {
    char* line = nullptr;
    size_t room = 0;
    long number = 0;
    ssize_t length;
    int ok = 1;
    while (ok && (length = getline(&line, &room, stdin)) >= 0) {
        if (length > 0 && line[length - 1] == '\n')
            line[--length] = '\0';  // the newline is not sent
        ok = sender.add(level, line, length, "line", ++number);
    }
    free(line);
    if (ok && ferror(stdin)) {
        fprintf(stderr, "report_send: reading standard input: %s\n", strerror(errno));
        ok = 0;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    static const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    const char* host = "127.0.0.1";
    long port = REPORT_SERVER_PORT;
    long level = 0;

    opterr = 0;  // the messages below name the problem themselves
    int option;
    // "+": options end at the first text, so texts are never taken apart.
    while ((option = getopt_long(argc, argv, "+:H:p:L:h", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'H':
                host = optarg;
                break;
            case 'p':
                if (!parse_number("port", optarg, 1, 65535, &port))
                    return kExitUsage;
                break;
            case 'L':
                if (!parse_number("level", optarg, 0, 255, &level))
                    return kExitUsage;
                break;
            case 'h':
                fputs(kSynopsis, stdout);
                printf(kDescription, REPORT_SERVER_PORT);
                return 0;
            case ':':
                fprintf(stderr, "report_send: option '%s' needs an argument\n", argv[optind - 1]);
                fputs(kSynopsis, stderr);
                return kExitUsage;
            default:
                if (optopt != 0)
                    fprintf(stderr, "report_send: unknown option '-%c'\n", optopt);
                else
                    fprintf(stderr, "report_send: unknown option '%s'\n", argv[optind - 1]);
                fputs(kSynopsis, stderr);
                return kExitUsage;
        }
    }

    sockaddr_in destination;
    memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(port));
    if (const int status = resolve_host(host, &destination.sin_addr); status != 0)
        return status;

    // The writer's queue is 64 KiB: static storage, not the stack.
    static ReportSender sender;
    if (!sender.open(destination))
        return kExitFailure;
    int ok = 1;
    if (optind < argc) {
        for (int i = optind; ok && i < argc; ++i)
            ok = sender.add(static_cast<int>(level), argv[i], strlen(argv[i]), "text",
                            i - optind + 1);
    } else {
        ok = send_lines(sender, static_cast<int>(level));
    }
    if (ok)
        ok = sender.flush();
    return ok ? 0 : kExitFailure;
}
