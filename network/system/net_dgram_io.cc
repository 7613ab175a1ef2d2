#include "network/system/net_dgram_io.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

// The CRC uses carry-less multiplication where the CPU has it (x86-64).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define REPORT_CRC_CLMUL 1
#include <immintrin.h>
#else
#define REPORT_CRC_CLMUL 0
#endif

#include "network/system/net_logging.h"

namespace {

// CRC-16/GENIBUS table: entry i is the register after shifting i, placed in
// the high byte, eight times through the polynomial 0x1021.
constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1;
        table[i] = static_cast<uint16_t>(reg);
    }
    return table;
}
constexpr std::array<uint16_t, 256> kCrcTable = make_crc_table();

// Tables for eight bytes per step ("slicing by 8"): entry b of table k is
// the register after byte b followed by k zero bytes, so the eight table
// lookups of one step are independent and the CPU overlaps them. The result
// is the same as one byte at a time, at about three times the speed: the
// way for CPUs without carry-less multiplication, and for short payloads.
constexpr std::array<std::array<uint16_t, 256>, 8> make_crc_slices() {
    std::array<std::array<uint16_t, 256>, 8> slices{};
    slices[0] = make_crc_table();
    for (int k = 1; k < 8; ++k) {
        for (int b = 0; b < 256; ++b) {
            const uint16_t previous = slices[k - 1][b];
            slices[k][b] = static_cast<uint16_t>((previous << 8) ^ slices[0][previous >> 8]);
        }
    }
    return slices;
}
constexpr std::array<std::array<uint16_t, 256>, 8> kCrcSlices = make_crc_slices();

// The register after `reg` has taken in `length` bytes of `data`, eight at
// a time through the slices, then one at a time.
uint16_t crc_by_table(uint16_t reg, const uint8_t* data, uint32_t length) {
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint16_t head = static_cast<uint16_t>(reg ^ (data[i] << 8 | data[i + 1]));
        reg = static_cast<uint16_t>(kCrcSlices[7][head >> 8] ^ kCrcSlices[6][head & 0xFF] ^
                                    kCrcSlices[5][data[i + 2]] ^ kCrcSlices[4][data[i + 3]] ^
                                    kCrcSlices[3][data[i + 4]] ^ kCrcSlices[2][data[i + 5]] ^
                                    kCrcSlices[1][data[i + 6]] ^ kCrcSlices[0][data[i + 7]]);
    }
    for (; i < length; ++i)
        reg = static_cast<uint16_t>((reg << 8) ^ kCrcTable[(reg >> 8) ^ data[i]]);
    return reg;
}

#if REPORT_CRC_CLMUL
// The same register by carry-less multiplication, which takes a report's
// payload in under a third of the tables' time. The CRC is the remainder of
// M(x) * x^16 modulo P(x) = x^16 + x^12 + x^5 + 1, with the starting register
// added to the first 16 bits of M. Sixteen bytes, read big-endian, are one
// polynomial of degree below 128. To move a block n bits further down the
// message it is multiplied by x^n mod P, a constant of 16 bits: each 64-bit
// half times its constant gives at most 79 bits, so blocks are folded into a
// 128-bit remainder without ever reducing. Four remainders 64 bytes apart
// run side by side so that the multiplier's latency overlaps. At the end the
// remainder is folded to 64 bits, and those 8 bytes go through the table.

// Below this a payload goes through the tables: too short to gain.
constexpr uint32_t kClmulMinLength = 64;

// x^n mod P, as a polynomial in the low 16 bits.
constexpr uint64_t x_power_mod_p(uint32_t n) {
    uint32_t remainder = 1;
    for (uint32_t i = 0; i < n; ++i) {
        remainder <<= 1;
        if (remainder & 0x10000)
            remainder ^= 0x11021;
    }
    return remainder;
}

// The constants that move a block `bits` further: the high half goes
// bits + 64 further than the low one.
template <uint32_t bits>
__attribute__((target("pclmul,ssse3"))) __m128i fold_constants() {
    constexpr uint64_t high = x_power_mod_p(bits + 64), low = x_power_mod_p(bits);
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// `block` moved down the message by the distance of `constants`.
__attribute__((target("pclmul,ssse3"))) __m128i fold(__m128i block, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x11),
                         _mm_clmulepi64_si128(block, constants, 0x00));
}

// Sixteen bytes as a polynomial: the first byte's top bit is x^127.
__attribute__((target("pclmul,ssse3"))) __m128i load_block(const uint8_t* at) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), reverse);
}

// Needs length >= kClmulMinLength.
__attribute__((target("pclmul,ssse3"))) uint16_t crc_by_clmul(uint16_t reg, const uint8_t* data,
                                                              uint32_t length) {
    // The bytes before the last multiple of 16 go through the tables; the
    // register they leave is added to the first block.
    const uint32_t head = length % 16;
    reg = crc_by_table(reg, data, head);
    const uint8_t* at = data + head;
    const uint8_t* const end = data + length;
    const __m128i first = _mm_set_epi64x(static_cast<long long>(uint64_t{reg} << 48), 0);

    __m128i r0 = _mm_xor_si128(load_block(at), first);
    __m128i r1 = load_block(at + 16);
    __m128i r2 = load_block(at + 32);
    __m128i r3 = load_block(at + 48);
    at += 64;
    const __m128i by_64_bytes = fold_constants<512>();
    for (; end - at >= 64; at += 64) {
        r0 = _mm_xor_si128(fold(r0, by_64_bytes), load_block(at));
        r1 = _mm_xor_si128(fold(r1, by_64_bytes), load_block(at + 16));
        r2 = _mm_xor_si128(fold(r2, by_64_bytes), load_block(at + 32));
        r3 = _mm_xor_si128(fold(r3, by_64_bytes), load_block(at + 48));
    }
    const __m128i by_16_bytes = fold_constants<128>();
    __m128i remainder = _mm_xor_si128(
        _mm_xor_si128(fold(r0, fold_constants<384>()), fold(r1, fold_constants<256>())),
        _mm_xor_si128(fold(r2, by_16_bytes), r3));
    for (; at < end; at += 16)
        remainder = _mm_xor_si128(fold(remainder, by_16_bytes), load_block(at));

    // 128 bits to 80, then to 64: the part above x^64 times x^64 mod P.
    constexpr uint64_t x64_mod_p = x_power_mod_p(64);
    const __m128i x64 = _mm_set_epi64x(0, static_cast<long long>(x64_mod_p));
    const __m128i low_half = _mm_set_epi64x(0, -1);
    remainder = _mm_xor_si128(_mm_clmulepi64_si128(remainder, x64, 0x01),
                              _mm_and_si128(remainder, low_half));
    remainder = _mm_xor_si128(_mm_clmulepi64_si128(remainder, x64, 0x01), remainder);
    const uint64_t rest = static_cast<uint64_t>(_mm_cvtsi128_si64(remainder));
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(rest >> (56 - 8 * i));
    return crc_by_table(0, bytes, 8);
}
#endif

// The scrambling key: the top byte of each step of Marsaglia's xorshift32
// from a fixed seed. docs/wire-format.md gives check values to a peer that
// rebuilds it.
constexpr std::array<uint8_t, kDgramKeySize> make_key() {
    std::array<uint8_t, kDgramKeySize> key{};
    uint32_t x = 2463534242u;
    for (uint32_t i = 0; i < kDgramKeySize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        key[i] = static_cast<uint8_t>(x >> 24);
    }
    return key;
}

uint16_t get_be16(const uint8_t* at) {
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

void put_be16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Serials further apart than this in either direction are not "newer".
constexpr int kSerialWindow = 16384;

}  // namespace

constexpr std::array<uint8_t, kDgramKeySize> net_dgram_key = make_key();

uint16_t net_dgram_crc16(const uint8_t* data, uint32_t length) {
#if REPORT_CRC_CLMUL
    // Decided once: a CPU without the instructions keeps the tables.
    static const bool has_clmul =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    if (has_clmul && length >= kClmulMinLength)
        return static_cast<uint16_t>(crc_by_clmul(0xFFFF, data, length) ^ 0xFFFF);
#endif
    return static_cast<uint16_t>(crc_by_table(0xFFFF, data, length) ^ 0xFFFF);
}

void net_dgram_scramble(uint8_t* dst, const uint8_t* src, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        dst[i] = static_cast<uint8_t>(src[i] ^ net_dgram_key[(length + i) % kDgramKeySize]);
}

bool net_dgram_serial_newer(uint16_t serial, uint16_t last) {
    if (serial > last)
        return serial - last < kSerialWindow;
    if (serial < last)
        return last - serial > kSerialWindow;
    return false;
}

// ---- DgramEndpoint --------------------------------------------------------

void DgramEndpoint::attach(int socket_fd) {
    socket_ = socket_fd;
    requested_ = Idle;
    opened_ = 1;
    pending_ = 1;
}

void DgramEndpoint::request_failed() {
    requested_ = Failed;
    pending_ = 1;
}

// The start of every I/O call: applies a pending request and steps the state
// machine. True when the call goes on with its I/O (Active).
bool DgramEndpoint::begin_io(uint32_t* attempted, bool reader) {
    if (attempted != nullptr)
        *attempted = 0;
    const bool was_pending = pending_ != 0;
    if (was_pending) {
        previous_ = state_;
        state_ = requested_;
    }
    switch (state_) {
        case Idle:
            pending_ = 0;
            if (opened_) {
                requested_ = Active;
                pending_ = 1;
            }
            return false;
        case Active:
            pending_ = 0;
            return true;
        case Failed:
            // The trace marks the call that entered Failed, not later ones.
            if (was_pending) {
                pending_ = 0;
                const unsigned self = static_cast<unsigned>(reinterpret_cast<uintptr_t>(this));
                if (reader)
                    net_trace("0x%08x, STREAM READ: ERROR", self);
                else
                    net_trace("0x%08x, STREAM WRITE: ERROR", self);
            }
            return false;
        default:
            return false;
    }
}

uint32_t DgramEndpoint::receive_step(uint8_t* buffer, uint32_t capacity, uint32_t* fill,
                                     uint32_t* attempted) {
    // Less than one whole datagram of room: leave it waiting in the socket.
    if (capacity - DGRAM_MAX < *fill)
        return 0;
    // MSG_TRUNC makes recv give a longer datagram's full length (only
    // DGRAM_MAX bytes are copied), so it can be told apart and dropped.
    const ssize_t got = recv(socket_, buffer + *fill, DGRAM_MAX, MSG_TRUNC | MSG_DONTWAIT);
    if (attempted != nullptr)
        *attempted = 1;
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        NET_LOG_ERRNO();
        request_failed();
        return 0;
    }
    // Empty and overlong datagrams are dropped: fill stays.
    if (got == 0 || got > static_cast<ssize_t>(DGRAM_MAX))
        return 0;
    *fill += static_cast<uint32_t>(got);
    return static_cast<uint32_t>(got);
}

DgramBatch::DgramBatch(uint32_t size) : size_(size < 1 ? 1 : size > kMax ? kMax : size) {
    for (uint32_t i = 0; i < kMax; ++i) {
        vectors_[i] = {slots_[i], DGRAM_MAX};
        headers_[i] = {};
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
}

uint32_t DgramEndpoint::receive_batch_step(DgramBatch& batch, uint32_t* attempted) {
    // MSG_TRUNC: a longer datagram's length is its full length, so that it
    // can be told apart and dropped.
    const int got =
        recvmmsg(socket_, batch.headers_, batch.size_, MSG_TRUNC | MSG_DONTWAIT, nullptr);
    if (attempted != nullptr)
        *attempted = 1;
    batch.count_ = got > 0 ? static_cast<uint32_t>(got) : 0;
    if (got < 0 && errno != EAGAIN && errno != EINTR) {
        NET_LOG_ERRNO();
        request_failed();
    }
    return batch.count_;
}

uint32_t DgramEndpoint::send_step(uint8_t* queue, uint32_t* fill, uint32_t length,
                                  const sockaddr_in& destination, uint32_t* attempted) {
    const ssize_t sent =
        sendto(socket_, queue, length, MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (attempted != nullptr)
        *attempted = 1;
    if (sent < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        NET_LOG_ERRNO();
        request_failed();
        return 0;
    }
    if (sent == 0)
        return 0;
    const uint32_t count = static_cast<uint32_t>(sent);
    memmove(queue, queue + count, *fill - count);
    *fill -= count;
    return count;
}

// ---- BasicDgramFrameReader ------------------------------------------------

template <uint32_t Capacity>
int BasicDgramFrameReader<Capacity>::open(int socket_fd, uint32_t scrambled,
                                          uint32_t check_serial) {
    if (socket_fd == -1)
        return 0;
    scrambled_ = scrambled;
    check_serial_ = check_serial;
    attach(socket_fd);
    return 1;
}

template <uint32_t Capacity>
void BasicDgramFrameReader<Capacity>::reset() {
    capacity_ = Capacity;
    fill_ = 0;
    last_serial_ = 0;
}

template <uint32_t Capacity>
uint32_t BasicDgramFrameReader<Capacity>::receive(uint32_t* attempted) {
    if (!begin_io(attempted, true))
        return 0;
    return receive_step(buffer_, capacity_, &fill_, attempted);
}

template <uint32_t Capacity>
uint32_t BasicDgramFrameReader<Capacity>::receive_batch(DgramBatch& batch, uint32_t* attempted) {
    batch.count_ = 0;
    if (!begin_io(attempted, true))
        return 0;
    return receive_batch_step(batch, attempted);
}

template <uint32_t Capacity>
uint32_t BasicDgramFrameReader<Capacity>::discard() {
    const uint32_t held = fill_;
    fill_ = 0;
    return held;
}

template <uint32_t Capacity>
uint32_t BasicDgramFrameReader<Capacity>::append(const uint8_t* datagram, uint32_t length) {
    if (length == 0 || length > DGRAM_MAX || capacity_ - DGRAM_MAX < fill_)
        return 0;
    memcpy(buffer_ + fill_, datagram, length);
    fill_ += length;
    return length;
}

template <uint32_t Capacity>
void BasicDgramFrameReader<Capacity>::drop_front(uint32_t count) {
    memmove(buffer_, buffer_ + count, fill_ - count);
    fill_ -= count;
}

template <uint32_t Capacity>
int BasicDgramFrameReader<Capacity>::next_frame(uint8_t* dst, uint32_t* length_out) {
    for (;;) {
        // A header alone is not examined yet: an empty frame waits until a
        // byte follows it, and a short remainder joins the next datagram.
        if (fill_ < kDgramHeaderSize + 1)
            return 0;
        const uint32_t length = get_be16(buffer_ + 2);
        const uint16_t serial = get_be16(buffer_ + 4);
        const uint32_t frame_size = length + kDgramHeaderSize;
        // The frame runs past the bytes held: the queue has lost its frame
        // boundaries, so everything held goes.
        if (fill_ < frame_size) {
            fill_ = 0;
            ++dropped_frames_;
            return 0;
        }
        if (check_serial_ && !net_dgram_serial_newer(serial, last_serial_)) {
            net_trace("UDP SER ERROR %d VS %d", serial, last_serial_);
            drop_front(frame_size);
            ++dropped_frames_;
            continue;
        }
        const uint8_t* payload = buffer_ + kDgramHeaderSize;
        if (net_dgram_crc16(payload, length) != get_be16(buffer_)) {
            net_trace("UDP CRC ERROR");
            drop_front(frame_size);
            ++dropped_frames_;
            continue;
        }
        if (scrambled_)
            net_dgram_scramble(dst, payload, length);
        else
            memcpy(dst, payload, length);
        *length_out = length;
        last_serial_ = serial;
        drop_front(frame_size);
        return 1;
    }
}

// ---- BasicDgramFrameWriter ------------------------------------------------

template <uint32_t Capacity>
int BasicDgramFrameWriter<Capacity>::open(int socket_fd, uint32_t scrambled,
                                          const sockaddr_in* destination) {
    if (destination == nullptr)
        return 0;
    scrambled_ = scrambled;
    destination_ = *destination;
    attach(socket_fd);
    return 1;
}

template <uint32_t Capacity>
void BasicDgramFrameWriter<Capacity>::reset() {
    fill_ = 0;
    next_serial_ = 1;
}

template <uint32_t Capacity>
int BasicDgramFrameWriter<Capacity>::write_frame(const uint8_t* payload, uint32_t length) {
    // A frame longer than one datagram could never be sent: send() takes
    // only whole frames, so it would sit at the front of the queue for good
    // and block every frame behind it. It is refused here instead (this
    // also keeps every length within the 16-bit field, whatever Capacity).
    if (length > kDgramPayloadMax) {
        net_trace("send: buffer over");
        return 0;
    }
    if (length + kDgramHeaderSize > Capacity - fill_) {
        net_trace("send: buffer over");
        return 0;
    }
    uint8_t* frame = queue_ + fill_;
    put_be16(frame + 2, static_cast<uint16_t>(length));
    put_be16(frame + 4, next_serial_);
    ++next_serial_;  // wraps past 65535 to 0
    if (scrambled_)
        net_dgram_scramble(frame + kDgramHeaderSize, payload, length);
    else if (length > 0)
        memcpy(frame + kDgramHeaderSize, payload, length);
    put_be16(frame, net_dgram_crc16(frame + kDgramHeaderSize, length));
    fill_ += length + kDgramHeaderSize;
    return 1;
}

template <uint32_t Capacity>
uint32_t BasicDgramFrameWriter<Capacity>::send(uint32_t* attempted) {
    if (!begin_io(attempted, false))
        return 0;
    if (fill_ == 0)
        return 0;
    // The longest run of whole frames from the front within DGRAM_MAX.
    uint32_t length = 0;
    while (length < fill_) {
        const uint32_t frame_size = get_be16(queue_ + length + 2) + kDgramHeaderSize;
        if (length + frame_size > DGRAM_MAX)
            break;
        length += frame_size;
    }
    // write_frame refuses frames that fit no datagram, so the run is never
    // empty.
    return send_step(queue_, &fill_, length, destination_, attempted);
}

template class BasicDgramFrameReader<kDgramBufferSize>;
template class BasicDgramFrameReader<kDgramLargeBufferSize>;
template class BasicDgramFrameWriter<kDgramBufferSize>;
template class BasicDgramFrameWriter<kDgramLargeBufferSize>;

// ---- DgramReader ----------------------------------------------------------

int DgramReader::open(int socket_fd) {
    if (socket_fd == -1)
        return 0;
    attach(socket_fd);
    return 1;
}

void DgramReader::reset() {
    fill_ = 0;
    capacity_ = kDgramBufferSize;
}

uint32_t DgramReader::receive(uint32_t* attempted) {
    if (!begin_io(attempted, true))
        return 0;
    return receive_step(buffer_, capacity_, &fill_, attempted);
}

uint32_t DgramReader::read(uint8_t* dst, uint32_t n) {
    const uint32_t count = n < fill_ ? n : fill_;
    if (count == 0)
        return 0;
    memcpy(dst, buffer_, count);
    memmove(buffer_, buffer_ + count, fill_ - count);
    fill_ -= count;
    return count;
}

// ---- DgramWriter ----------------------------------------------------------

int DgramWriter::open(int socket_fd, const sockaddr_in* destination) {
    if (destination == nullptr)
        return 0;
    destination_ = *destination;
    attach(socket_fd);
    return 1;
}

void DgramWriter::reset() {
    fill_ = 0;
}

int DgramWriter::write(const uint8_t* data, uint32_t length) {
    // The same room test as write_frame, header included, though none is
    // added. 64-bit so that no length can wrap it.
    if (uint64_t{length} + kDgramHeaderSize > kDgramBufferSize - fill_) {
        net_trace("send: buffer over");
        return 0;
    }
    if (length > 0)
        memcpy(queue_ + fill_, data, length);
    fill_ += length;
    return 1;
}

uint32_t DgramWriter::send(uint32_t* attempted) {
    if (!begin_io(attempted, false))
        return 0;
    if (fill_ == 0)
        return 0;
    return send_step(queue_, &fill_, fill_, destination_, attempted);
}
