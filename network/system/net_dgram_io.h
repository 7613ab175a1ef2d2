// The datagram transport: framed, checksummed UDP datagrams and the
// non-blocking endpoints that receive and send them.
//
// Frame layout (the one place that states the wire format). All numbers are
// unsigned 16-bit, big-endian (network byte order); no alignment, no gaps:
//
//   offset  size    field    meaning
//   0       2       crc      net_dgram_crc16 of the payload bytes exactly as
//                            they travel (after scrambling on a scrambled
//                            link); length and serial are not covered
//   2       2       length   payload bytes; the six header bytes not counted
//   4       2       serial   given by the writer: 1, 2, ... wrapping past
//                            65535 to 0; see net_dgram_serial_newer
//   6       length  payload  the record, plain or scrambled
//
// A datagram is one or more whole frames back to back, DGRAM_MAX (1406)
// bytes at most, so a payload is at most 1400 bytes. Nothing marks whether
// a payload is scrambled: both ends of a link are opened with the same
// `scrambled` setting. A reader keeps its buffer as one byte queue, so
// datagram boundaries carry no meaning.
//
// Endpoints. Each endpoint joins one UDP socket to one fixed buffer held
// inside the object; nothing allocates. The owner creates, binds and closes
// the socket; an endpoint never closes it, not even in its destructor. Every
// I/O call (receive, send) makes at most one non-blocking socket call and
// returns at once; the owner polls. Bytes held always start at the first
// byte of the buffer: taking bytes out moves the rest to the front.
//
// State machine, common to all endpoints (DgramEndpoint):
//   - Idle: no I/O. After open(), the first I/O call only requests Active;
//     the second enters Active and makes the first socket call.
//   - Active: I/O calls make their socket call. A call whose recv/sendto
//     fails (other than EAGAIN/EINTR) writes the errno report, returns 0 and
//     requests Failed; state() still says Active until the next I/O call.
//   - Failed: I/O calls do nothing. Only a new open() leaves it (via Idle).
// state() reports the state entered at the start of the last I/O call.
//
// Results: open() 1 / 0 (refused); receive() and send() the byte count moved
// (0 for nothing: no room, nothing waiting, dropped datagram, a state step,
// a failure); write_frame(), write() and next_frame() 1 / 0. The optional
// `attempted` flag of receive() and send() is set to 1 when the call made
// its socket call and to 0 otherwise, so an owner can tell "the socket had
// nothing" from "no socket call was made".
//
// Threads: an endpoint has no lock; one thread at a time calls it. In the
// report server only the status thread touches its reader after the
// server's constructor has opened it.
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

// The scrambling key shared by both ends of a scrambled link; the bytes are
// generated at compile time (net_dgram_io.cc says how, for other peers).
extern const std::array<uint8_t, kDgramKeySize> net_dgram_key;

// CRC-16/GENIBUS (polynomial 0x1021, initial 0xFFFF, not reflected, final
// XOR 0xFFFF) of `length` bytes; 0 for no bytes. "123456789" gives 0xD64E.
uint16_t net_dgram_crc16(const uint8_t* data, uint32_t length);

// dst[i] = src[i] ^ net_dgram_key[(length + i) % 1024] for i < length: the
// key position starts at the run's own length. Its own inverse; dst may be
// src.
void net_dgram_scramble(uint8_t* dst, const uint8_t* src, uint32_t length);

// Whether a frame with `serial` is newer than the last delivered `last`:
// ahead by 1 to 16383, or behind by 16385 or more (a wrap past 65535).
// Repeats, jumps of 16384 or more ahead and falls of 16384 or less behind are
// not newer.
bool net_dgram_serial_newer(uint16_t serial, uint16_t last);

// Datagrams taken from a socket with one recvmmsg, for an owner that takes
// bursts in one system call: up to size() of them (at most kMax), each in a
// slot of DGRAM_MAX bytes of its own. Filled by a reader's receive_batch();
// each datagram is then
// handed to the reader with append(). Holds its slots inside (about 90 KiB):
// allocate it with its owner, not on a thread's stack.
//
// Threads: the owner's one thread at a time.
class DgramBatch {
  public:
    static constexpr uint32_t kMax = 64;

    explicit DgramBatch(uint32_t size = kMax);
    DgramBatch(const DgramBatch&) = delete;
    DgramBatch& operator=(const DgramBatch&) = delete;

    // How many datagrams one receive takes at most, and how many the last
    // one took.
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

// The core at the start of every endpoint: the socket and the state
// machine described at the top of this file. Not used on its own. The
// socket stays its owner's; the endpoint only calls recv/sendto on it.
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

    // Keeps `socket_fd` and requests Idle; the state changes at the next
    // I/O call.
    void attach(int socket_fd);
    // The start of every I/O call: applies a pending request and steps the
    // state machine. True when the call is to go on with its I/O (Active).
    bool begin_io(uint32_t* attempted, bool reader);
    // One recv of up to DGRAM_MAX bytes appended at buffer + *fill.
    uint32_t receive_step(uint8_t* buffer, uint32_t capacity, uint32_t* fill, uint32_t* attempted);
    // One recvmmsg of up to batch.size() datagrams into `batch`.
    uint32_t receive_batch_step(DgramBatch& batch, uint32_t* attempted);
    // One sendto of the first `length` bytes of the queue, which then leave
    // it.
    uint32_t send_step(uint8_t* queue, uint32_t* fill, uint32_t length,
                       const sockaddr_in& destination, uint32_t* attempted);

  private:
    // After a socket error: Failed is entered at the next I/O call.
    void request_failed();

    uint32_t state_ = Idle;
    uint32_t requested_ = Idle;
    uint32_t previous_ = Idle;
    uint8_t pending_ = 1;  // a move to requested_ is due at the next I/O call
    uint8_t opened_ = 0;   // open() has attached a socket; never cleared
    int socket_ = -1;      // not owned
};

// Receives datagrams of frames and hands out one checked payload at a time.
// `Capacity` is the buffer size; use the aliases below. The report server
// holds a DgramFrameReader.
//
// Use: open(), then per poll one receive() and next_frame() until it returns
// 0. Then at most DGRAM_MAX + 6 bytes are ever held when next_frame runs, and
// a DGRAM_MAX-byte payload buffer is enough; a caller that lets frames pile
// up needs a payload buffer of `Capacity` bytes.
//
// Socket: the owner's. Threads: one at a time; in the report server the
// constructor opens it and then only the status thread calls it.
template <uint32_t Capacity>
class BasicDgramFrameReader : public DgramEndpoint {
    static_assert(Capacity >= DGRAM_MAX);

  public:
    BasicDgramFrameReader() = default;

    // Attaches `socket_fd` (the caller keeps it) with payloads scrambled or
    // not and serials checked or ignored (nonzero: yes). 0 for socket -1,
    // and then nothing changes. Does not empty the buffer.
    int open(int socket_fd, uint32_t scrambled, uint32_t check_serial);
    // Empties the buffer and forgets the last serial; the state stays.
    void reset();

    // Appends at most one waiting datagram to the buffer: its size (1 to
    // DGRAM_MAX), or 0. Datagrams that are empty or longer than DGRAM_MAX are
    // read and dropped. With fewer than DGRAM_MAX bytes free nothing is read:
    // the datagram waits in the socket.
    uint32_t receive(uint32_t* attempted = nullptr);

    // Takes up to batch.size() waiting datagrams into `batch` with one
    // recvmmsg, leaving the buffer as it is: their number, or 0. The state
    // machine, the failure rule and the `attempted` flag are receive()'s.
    uint32_t receive_batch(DgramBatch& batch, uint32_t* attempted = nullptr);

    // Appends one datagram that reached the owner by other means, under the
    // rules of receive(): an empty one or one longer than DGRAM_MAX is
    // dropped, and with fewer than DGRAM_MAX bytes free nothing is taken.
    // Returns the bytes appended. Makes no socket call, whatever the state.
    uint32_t append(const uint8_t* datagram, uint32_t length);

    // Drops every byte held and returns how many there were: after
    // next_frame() gave 0, at most the start of a frame, which would
    // otherwise join the next datagram.
    uint32_t discard();

    // Takes the next frame that passes the checks out of the buffer, writes
    // its (unscrambled) payload to `dst` and its length to `*length_out`:
    // 1, or 0 when no such frame is left. Frames with a bad CRC, and with
    // the serial check on, frames whose serial is not newer, are dropped on
    // the way. A frame whose length runs past the bytes held empties the
    // whole buffer. A frame is examined only once at least one byte follows
    // its header. `dst` must hold the longest payload that can stand in the
    // buffer (see above).
    int next_frame(uint8_t* dst, uint32_t* length_out);

    uint32_t fill() const { return fill_; }
    uint32_t capacity() const { return capacity_; }
    uint16_t last_serial() const { return last_serial_; }
    // Frames next_frame() has dropped since construction: for a bad CRC, a
    // serial that was not newer, or a length running past the bytes held
    // (then everything held went, counted as one).
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
//
// Socket: the owner's. Threads: one at a time.
template <uint32_t Capacity>
class BasicDgramFrameWriter : public DgramEndpoint {
    static_assert(Capacity >= DGRAM_MAX);

  public:
    BasicDgramFrameWriter() = default;

    // Attaches `socket_fd` (the caller keeps it; -1 is taken, and the first
    // send then fails) and copies the destination. 0 only for a null
    // destination, and then nothing changes.
    int open(int socket_fd, uint32_t scrambled, const sockaddr_in* destination);
    // Empties the queue and restarts the serials at 1; the state stays.
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

// The frame endpoints in their two sizes. The report server and most peers
// use the 65,536-byte ones; the large ones differ in nothing but the buffer.
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
//
// Socket: the owner's. Threads: one at a time.
class DgramReader : public DgramEndpoint {
  public:
    DgramReader() = default;

    // Attaches `socket_fd` (the caller keeps it): 1, or 0 for -1 (nothing
    // changes).
    int open(int socket_fd);
    // Empties the buffer; the state stays.
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
//
// Socket: the owner's. Threads: one at a time.
class DgramWriter : public DgramEndpoint {
  public:
    DgramWriter() = default;

    // Attaches `socket_fd` (the caller keeps it; -1 is taken) and copies the
    // destination: 1, or 0 for a null destination (nothing changes).
    int open(int socket_fd, const sockaddr_in* destination);
    // Empties the queue; the state stays.
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
