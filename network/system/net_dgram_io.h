// The datagram transport: framed, checksummed UDP datagrams and the
// non-blocking endpoints that receive and send them. docs/wire-format.md
// states the bytes: frame layout, CRC, scrambling, serials.
//
// Endpoints. Each joins one UDP socket, which stays its owner's to create,
// bind and close, to one fixed buffer inside the object. Every I/O call
// (receive, send) makes at most one non-blocking socket call and returns at
// once; the owner polls.
//
// State machine, common to all endpoints (DgramEndpoint):
//   - Idle: no I/O. After open(), the first I/O call only requests Active;
//     the second enters Active and makes the first socket call.
//   - Active: I/O calls make their socket call. A call whose recv/sendto
//     fails (other than EAGAIN/EINTR) writes the errno report, returns 0 and
//     requests Failed; state() still says Active until the next I/O call.
//   - Failed: I/O calls do nothing. Only a new open() leaves it (via Idle).
//
// Results: open(), write_frame(), write() and next_frame() 1 / 0; receive()
// and send() the bytes moved, 0 for nothing (no room, nothing waiting, a
// dropped datagram, a state step, a failure). The optional `attempted` of an
// I/O call is set to 1 when it made its socket call and to 0 otherwise.
//
// open() attaches the socket and leaves the buffer as it is; when it
// refuses, nothing changes. reset() empties the buffer and leaves the state.
//
// Threads: an endpoint has no lock; one thread at a time calls it.
#ifndef NETWORK_SYSTEM_NET_DGRAM_IO_H_
#define NETWORK_SYSTEM_NET_DGRAM_IO_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>

// The largest datagram an endpoint receives and a frame writer sends.
inline constexpr uint32_t DGRAM_MAX = 1406;
inline constexpr uint32_t kDgramHeaderSize = 6;
// The largest payload a frame writer accepts: one frame alone in a datagram.
inline constexpr uint32_t kDgramPayloadMax = DGRAM_MAX - kDgramHeaderSize;
// The two buffer sizes of the frame endpoints.
inline constexpr uint32_t kDgramBufferSize = 65536;
inline constexpr uint32_t kDgramLargeBufferSize = 131072;
inline constexpr uint32_t kDgramKeySize = 1024;

// The scrambling key of both ends of a scrambled link.
extern const std::array<uint8_t, kDgramKeySize> net_dgram_key;

// The frame CRC (CRC-16/GENIBUS) of `length` bytes; 0 for no bytes.
uint16_t net_dgram_crc16(const uint8_t* data, uint32_t length);

// Scrambles `length` bytes, or unscrambles them: it is its own inverse. dst
// may be src.
void net_dgram_scramble(uint8_t* dst, const uint8_t* src, uint32_t length);

// Whether a frame with `serial` is newer than the last delivered `last`:
// ahead by 1 to 16383, or behind by 16385 or more (a wrap past 65535).
bool net_dgram_serial_newer(uint16_t serial, uint16_t last);

// Datagrams taken with one recvmmsg by a reader's receive_batch(), each in a
// DGRAM_MAX-byte slot of its own, to be handed on with append(). Its slots
// are inside (about 90 KiB): allocate it with its owner, not on a stack.
// One thread at a time.
class DgramBatch {
  public:
    static constexpr uint32_t kMax = 64;

    explicit DgramBatch(uint32_t size = kMax);
    DgramBatch(const DgramBatch&) = delete;
    DgramBatch& operator=(const DgramBatch&) = delete;

    // How many datagrams one receive takes at most, and the last one took.
    uint32_t size() const { return size_; }
    uint32_t count() const { return count_; }
    // Datagram `i` (below count()) and its length as the socket gave it: a
    // length above DGRAM_MAX marks a longer datagram, cut to its slot.
    const uint8_t* datagram(uint32_t i) const { return slots_[i]; }
    uint32_t length(uint32_t i) const { return headers_[i].msg_len; }

  private:
    friend class DgramEndpoint;
    template <uint32_t>
    friend class BasicDgramFrameReader;

    uint32_t size_;
    uint32_t count_ = 0;
    uint8_t slots_[kMax][DGRAM_MAX];
    iovec vectors_[kMax];
    mmsghdr headers_[kMax];
};

// The core of every endpoint: the socket and the state machine above.
class DgramEndpoint {
  public:
    enum : uint32_t { Idle = 0, Active = 1, Failed = 2 };

    DgramEndpoint(const DgramEndpoint&) = delete;
    DgramEndpoint& operator=(const DgramEndpoint&) = delete;

    // The state entered at the start of the last I/O call.
    uint32_t state() const { return state_; }

  protected:
    DgramEndpoint() = default;
    ~DgramEndpoint() = default;  // leaves the socket open

    void attach(int socket_fd);
    bool begin_io(uint32_t* attempted, bool reader);
    uint32_t receive_step(uint8_t* buffer, uint32_t capacity, uint32_t* fill, uint32_t* attempted);
    uint32_t receive_batch_step(DgramBatch& batch, uint32_t* attempted);
    uint32_t send_step(uint8_t* queue, uint32_t* fill, uint32_t length,
                       const sockaddr_in& destination, uint32_t* attempted);

  private:
    void request_failed();

    uint32_t state_ = Idle;
    uint32_t requested_ = Idle;
    uint32_t previous_ = Idle;
    uint8_t pending_ = 1;  // a move to requested_ is due at the next I/O call
    uint8_t opened_ = 0;   // open() has attached a socket; never cleared
    int socket_ = -1;      // not owned
};

// Receives datagrams of frames into one byte queue of `Capacity` bytes, and
// hands out one checked payload at a time. Use: open(), then per poll one
// receive() and next_frame() until it returns 0; then a DGRAM_MAX-byte
// payload buffer is enough, while frames left to pile up need `Capacity`.
template <uint32_t Capacity>
class BasicDgramFrameReader : public DgramEndpoint {
    static_assert(Capacity >= DGRAM_MAX);

  public:
    BasicDgramFrameReader() = default;

    // Payloads scrambled or not, serials checked or ignored (nonzero: yes).
    // 0 for socket -1.
    int open(int socket_fd, uint32_t scrambled, uint32_t check_serial);
    // Also forgets the last serial.
    void reset();

    // Appends at most one waiting datagram to the buffer: its size (1 to
    // DGRAM_MAX), or 0. Datagrams that are empty or longer than DGRAM_MAX are
    // read and dropped. With fewer than DGRAM_MAX bytes free nothing is read:
    // the datagram waits in the socket.
    uint32_t receive(uint32_t* attempted = nullptr);

    // Takes up to batch.size() waiting datagrams into `batch` with one
    // recvmmsg, leaving the buffer as it is: their number, or 0.
    uint32_t receive_batch(DgramBatch& batch, uint32_t* attempted = nullptr);

    // Appends one datagram that reached the owner by other means, under the
    // rules of receive(), and returns the bytes appended. Makes no socket
    // call, whatever the state.
    uint32_t append(const uint8_t* datagram, uint32_t length);

    // Drops every byte held and returns how many there were: after
    // next_frame() gave 0, at most the start of a frame.
    uint32_t discard();

    // Takes the next frame that passes the checks out of the buffer, writes
    // its (unscrambled) payload to `dst` and its length to `*length_out`:
    // 1, or 0 when no such frame is left. Frames with a bad CRC, and with the
    // serial check on those not newer, are dropped on the way; a frame whose
    // length runs past the bytes held empties the whole buffer. A frame is
    // examined only once at least one byte follows its header.
    int next_frame(uint8_t* dst, uint32_t* length_out);

    uint32_t fill() const { return fill_; }
    uint32_t capacity() const { return capacity_; }
    uint16_t last_serial() const { return last_serial_; }
    // Frames next_frame() has dropped since construction; a length running
    // past the bytes held counts as one.
    uint64_t dropped_frames() const { return dropped_frames_; }

  private:
    void drop_front(uint32_t count);

    uint32_t scrambled_ = 0;
    uint32_t check_serial_ = 0;
    uint8_t buffer_[Capacity] = {};
    uint32_t capacity_ = Capacity;
    uint32_t fill_ = 0;
    uint16_t last_serial_ = 0;  // serial of the last delivered frame
    uint64_t dropped_frames_ = 0;
};

// Queues frames and sends them to one fixed destination, as many whole
// frames per datagram as fit in DGRAM_MAX bytes. Use: write_frame() as
// frames come, send() until fill() is 0 (a 0 with `attempted` set means the
// socket would block: wait until it is writable).
template <uint32_t Capacity>
class BasicDgramFrameWriter : public DgramEndpoint {
    static_assert(Capacity >= DGRAM_MAX);

  public:
    BasicDgramFrameWriter() = default;

    // Copies the destination. 0 only for a null one: socket -1 is taken,
    // and the first send then fails.
    int open(int socket_fd, uint32_t scrambled, const sockaddr_in* destination);
    // Also restarts the serials at 1.
    void reset();

    // Queues one frame with the next serial: 1, or 0 when the queue has no
    // room for length + 6 bytes or the payload is longer than
    // kDgramPayloadMax. A refused frame uses no serial.
    int write_frame(const uint8_t* payload, uint32_t length);

    // Sends one datagram: the longest run of whole frames from the front of
    // the queue that fits DGRAM_MAX. Returns its size, or 0.
    uint32_t send(uint32_t* attempted = nullptr);

    uint32_t fill() const { return fill_; }
    uint16_t next_serial() const { return next_serial_; }

  private:
    uint32_t scrambled_ = 0;
    sockaddr_in destination_{};
    uint8_t queue_[Capacity] = {};
    uint32_t fill_ = 0;
    uint16_t next_serial_ = 1;
};

// The frame endpoints in their two sizes, which differ in nothing else.
using DgramFrameReader = BasicDgramFrameReader<kDgramBufferSize>;
using DgramFrameReaderLarge = BasicDgramFrameReader<kDgramLargeBufferSize>;
using DgramFrameWriter = BasicDgramFrameWriter<kDgramBufferSize>;
using DgramFrameWriterLarge = BasicDgramFrameWriter<kDgramLargeBufferSize>;

extern template class BasicDgramFrameReader<kDgramBufferSize>;
extern template class BasicDgramFrameReader<kDgramLargeBufferSize>;
extern template class BasicDgramFrameWriter<kDgramBufferSize>;
extern template class BasicDgramFrameWriter<kDgramLargeBufferSize>;

// Receives datagrams into a 65,536-byte buffer and hands out raw bytes; no
// framing, and datagram boundaries are not kept.
class DgramReader : public DgramEndpoint {
  public:
    DgramReader() = default;

    // 0 for socket -1.
    int open(int socket_fd);
    void reset();

    // As BasicDgramFrameReader::receive.
    uint32_t receive(uint32_t* attempted = nullptr);

    // Moves min(fill, n) bytes from the front of the buffer to `dst` and
    // returns that count (0 when empty).
    uint32_t read(uint8_t* dst, uint32_t n);

    uint32_t fill() const { return fill_; }
    uint32_t capacity() const { return capacity_; }

  private:
    uint8_t buffer_[kDgramBufferSize] = {};
    uint32_t capacity_ = kDgramBufferSize;
    uint32_t fill_ = 0;
};

// Queues raw bytes (65,530 at most: the room test keeps six spare) and
// sends the whole queue as one datagram to one fixed destination. A queue
// longer than the socket takes in one datagram makes sendto fail, and the
// writer enters Failed.
class DgramWriter : public DgramEndpoint {
  public:
    DgramWriter() = default;

    // Copies the destination; 0 only for a null one.
    int open(int socket_fd, const sockaddr_in* destination);
    void reset();

    // Appends `length` bytes: 1, or 0 when length + 6 > 65,536 - fill (the
    // frame writer's room test, though no header is added).
    int write(const uint8_t* data, uint32_t length);

    // Sends the whole queue as one datagram: its size, or 0.
    uint32_t send(uint32_t* attempted = nullptr);

    uint32_t fill() const { return fill_; }

  private:
    sockaddr_in destination_{};
    uint8_t queue_[kDgramBufferSize] = {};
    uint32_t fill_ = 0;
};

#endif  // NETWORK_SYSTEM_NET_DGRAM_IO_H_
