// RecordCodec: packs values into a byte record and unpacks them again, both
// driven by a short format string; also gives the packed size of a format.
//
// Format language. A format is a NUL-terminated sequence of items with
// nothing between them. An item is an optional decimal count (default 1)
// and one letter, upper or lower case alike:
//
//   letter  bytes in record  count is     pack takes         unpack takes
//   C       1 each           repetitions  int (low 8 bits)   uint32_t* (zero-extended)
//   H       2 each           repetitions  int (low 16 bits)  uint32_t* (zero-extended)
//   L       4 each           repetitions  int32/uint32       uint32_t* or int32_t*
//   F       4 each           repetitions  double             float* (IEEE single)
//   P       1 each           repetitions  nothing            nothing
//   E       1                the byte     nothing            nothing (byte not checked)
//   S       count            width        const char*        char* with count + 1 bytes
//   M       count            width        const void*        void* with count bytes
//   B       2 + length       ignored      uint32_t, const    uint32_t*, void* with
//                                         void*              kBlockMax bytes
//
// Numbers are big-endian, with no alignment and no gap between fields. Any
// character outside the table ends the format as its NUL does: the items
// after it are never read and their arguments never taken. A count of 0
// before C, H, L, F or P takes no argument and moves nothing; S and M take
// their one pointer whatever the count (0S unpacks to an empty string), and
// B ignores its count.
//
// Pad bytes (P) are stepped over and never written. A packed S field holds
// the string's first count characters, zero-filled, with no terminator when
// the string is that long; unpacking copies up to the first zero byte and
// always adds one. A B field is a 16-bit length and that many data bytes, at
// most kBlockMax. A null pointer is allowed wherever one is taken: pack
// writes zero bytes for it, unpack steps over what a real one would take.
//
// No bounds are checked: the caller gives a buffer of at least
// packed_size(format) bytes, which always holds the record. The codec keeps
// no state: any number of threads may use it at once, each on its own
// buffers.
#ifndef NETWORK_SYSTEM_RECORD_CODEC_H_
#define NETWORK_SYSTEM_RECORD_CODEC_H_

#include <cstdarg>
#include <cstdint>

class RecordCodec {
  public:
    enum class Kind : uint8_t {
        kEnd,       // the terminating NUL
        kOther,     // a character outside the language: ends the format too
        kChar,      // C
        kShort,     // H
        kLong,      // L
        kFloat,     // F
        kPad,       // P
        kConstant,  // E
        kString,    // S
        kMemory,    // M
        kBlock,     // B
    };

    struct Item {
        const char* next;  // the format position after the item
        Kind kind;
        int32_t count;  // 0..INT32_MAX; 1 when the item has no digits
    };

    // Largest data length of a B field; longer lengths are clamped to it.
    static constexpr uint32_t kBlockMax = 1312;
    // The least packed_size() of a format holding a B field (DGRAM_MAX).
    static constexpr int32_t kBlockFormatMinSize = 1406;

    RecordCodec() = delete;

    // Reads one item at `position`; never fails. The letter is stepped over,
    // a NUL too: after kEnd or kOther `next` must not be read.
    static constexpr Item next_item(const char* position);

    // Writes the record described by `format` into `buffer`. Returns the
    // bytes from the buffer's start to the end of the last field.
    static int32_t pack(void* buffer, const char* format, ...);
    static int32_t vpack(void* buffer, const char* format, va_list args);

    // Reads the record described by `format` from `buffer`. Returns the
    // bytes consumed. A stored B length above kBlockMax is clamped, so
    // kBlockMax bytes of data room always do.
    static int32_t unpack(const void* buffer, const char* format, ...);
    static int32_t vunpack(const void* buffer, const char* format, va_list args);

    // The bytes of the largest record `format` describes, each B field at
    // its longest (2 + kBlockMax), and at least kBlockFormatMinSize with a B
    // field (record_codec.cc says why); 0 for an empty format. Saturates at
    // INT32_MAX.
    static constexpr int32_t packed_size(const char* format);

  private:
    static constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
    static constexpr Kind kind_of(char letter);
};

constexpr RecordCodec::Kind RecordCodec::kind_of(char letter) {
    switch (letter) {
        case '\0':
            return Kind::kEnd;
        case 'C':
        case 'c':
            return Kind::kChar;
        case 'H':
        case 'h':
            return Kind::kShort;
        case 'L':
        case 'l':
            return Kind::kLong;
        case 'F':
        case 'f':
            return Kind::kFloat;
        case 'P':
        case 'p':
            return Kind::kPad;
        case 'E':
        case 'e':
            return Kind::kConstant;
        case 'S':
        case 's':
            return Kind::kString;
        case 'M':
        case 'm':
            return Kind::kMemory;
        case 'B':
        case 'b':
            return Kind::kBlock;
        default:
            return Kind::kOther;
    }
}

constexpr RecordCodec::Item RecordCodec::next_item(const char* position) {
    // Saturates, so no count is negative and no arithmetic on one
    // overflows; a count that large fits no buffer anyway.
    constexpr int32_t kCountMax = INT32_MAX;
    int32_t count = 1;
    if (is_digit(*position)) {
        count = 0;
        for (; is_digit(*position); ++position) {
            const int32_t digit = *position - '0';
            count = count > (kCountMax - digit) / 10 ? kCountMax : count * 10 + digit;
        }
    }
    const char letter = *position++;
    return Item{position, kind_of(letter), count};
}

constexpr int32_t RecordCodec::packed_size(const char* format) {
    // The sum is kept in 64 bits and capped after every item, so it cannot
    // overflow however many items the format holds.
    int64_t size = 0;
    bool has_block = false;
    for (;;) {
        const Item item = next_item(format);
        format = item.next;
        int64_t width = 0;
        switch (item.kind) {
            case Kind::kEnd:
            case Kind::kOther:
                return static_cast<int32_t>(
                    has_block && size < kBlockFormatMinSize ? kBlockFormatMinSize : size);
            case Kind::kBlock:
                has_block = true;
                width = 2 + kBlockMax;
                break;
            case Kind::kChar:
            case Kind::kPad:
            case Kind::kString:
            case Kind::kMemory:
                width = item.count;
                break;
            case Kind::kShort:
                width = int64_t{2} * item.count;
                break;
            case Kind::kLong:
            case Kind::kFloat:
                width = int64_t{4} * item.count;
                break;
            case Kind::kConstant:
                width = 1;
                break;
        }
        size = size + width > INT32_MAX ? INT32_MAX : size + width;
    }
}

#endif  // NETWORK_SYSTEM_RECORD_CODEC_H_
