#include "network/system/record_codec.h"

#include <cfloat>
#include <cmath>
#include <cstring>

// packed_size() gives a format with a B field at least kBlockFormatMinSize:
// the size every such format was given before B fields were counted at their
// longest, so no buffer sized by it shrank.

namespace {

void put16(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

void put32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t get16(const uint8_t* in) {
    return uint32_t{in[0]} << 8 | uint32_t{in[1]};
}

uint32_t get32(const uint8_t* in) {
    return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | uint32_t{in[3]};
}

// The bits of `value` as an IEEE single, rounded to nearest. A double beyond
// the float range would make the plain conversion undefined, so it is
// rounded here as the hardware would: to the largest float below half an ulp
// past it, to infinity from there on.
uint32_t single_bits(double value) {
    constexpr double kFirstToInfinity = 0x1.ffffffp+127;  // FLT_MAX + half an ulp
    float single;
    if (std::isnan(value)) {
        single = std::nanf("");
    } else if (std::fabs(value) >= kFirstToInfinity) {
        single = std::signbit(value) ? -INFINITY : INFINITY;
    } else if (std::fabs(value) > FLT_MAX) {
        single = std::signbit(value) ? -FLT_MAX : FLT_MAX;
    } else {
        single = static_cast<float>(value);
    }
    uint32_t bits;
    memcpy(&bits, &single, sizeof bits);
    return bits;
}

}  // namespace

int32_t RecordCodec::pack(void* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t written = vpack(buffer, format, args);
    va_end(args);
    return written;
}

int32_t RecordCodec::vpack(void* buffer, const char* format, va_list args) {
    uint8_t* const start = static_cast<uint8_t*>(buffer);
    uint8_t* out = start;
    for (;;) {
        const Item item = next_item(format);
        format = item.next;
        const int32_t count = item.count;
        switch (item.kind) {
            case Kind::kEnd:
            case Kind::kOther:
                return static_cast<int32_t>(out - start);
            case Kind::kString: {
                const char* text = va_arg(args, const char*);
                const size_t kept = text == nullptr ? 0 : strnlen(text, count);
                if (kept > 0)
                    memcpy(out, text, kept);
                memset(out + kept, 0, count - kept);
                out += count;
                break;
            }
            case Kind::kMemory: {
                const void* data = va_arg(args, const void*);
                if (data == nullptr) {
                    memset(out, 0, count);
                } else {
                    memcpy(out, data, count);
                }
                out += count;
                break;
            }
            case Kind::kBlock: {
                // Unsigned, so a negative int passed as the length clamps too.
                uint32_t length = va_arg(args, unsigned int);
                if (length > kBlockMax)
                    length = kBlockMax;
                put16(out, length);
                out += 2;
                const void* data = va_arg(args, const void*);
                if (data == nullptr) {
                    memset(out, 0, length);
                } else {
                    memcpy(out, data, length);
                }
                out += length;
                break;
            }
            case Kind::kConstant:
                *out++ = static_cast<uint8_t>(count);
                break;
            case Kind::kChar:
                for (int32_t i = 0; i < count; ++i) {
                    *out++ = static_cast<uint8_t>(va_arg(args, unsigned int));
                }
                break;
            case Kind::kShort:
                for (int32_t i = 0; i < count; ++i, out += 2)
                    put16(out, va_arg(args, unsigned int));
                break;
            case Kind::kLong:
                for (int32_t i = 0; i < count; ++i, out += 4)
                    put32(out, va_arg(args, unsigned int));
                break;
            case Kind::kFloat:
                for (int32_t i = 0; i < count; ++i, out += 4)
                    put32(out, single_bits(va_arg(args, double)));
                break;
            case Kind::kPad:
                out += count;
                break;
        }
    }
}

int32_t RecordCodec::unpack(const void* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t consumed = vunpack(buffer, format, args);
    va_end(args);
    return consumed;
}

int32_t RecordCodec::vunpack(const void* buffer, const char* format, va_list args) {
    const uint8_t* const start = static_cast<const uint8_t*>(buffer);
    const uint8_t* in = start;
    for (;;) {
        const Item item = next_item(format);
        format = item.next;
        const int32_t count = item.count;
        switch (item.kind) {
            case Kind::kEnd:
            case Kind::kOther:
                return static_cast<int32_t>(in - start);
            case Kind::kString: {
                // The copy stops at the first zero byte, but the input always
                // moves by the whole field width.
                char* text = va_arg(args, char*);
                if (text != nullptr) {
                    const void* zero = memchr(in, 0, count);
                    const size_t copied =
                        zero == nullptr ? count : static_cast<const uint8_t*>(zero) - in;
                    if (copied > 0)
                        memcpy(text, in, copied);
                    text[copied] = '\0';
                }
                in += count;
                break;
            }
            case Kind::kMemory: {
                void* data = va_arg(args, void*);
                if (data != nullptr && count > 0)
                    memcpy(data, in, count);
                in += count;
                break;
            }
            case Kind::kBlock: {
                uint32_t* length_out = va_arg(args, uint32_t*);
                void* data = va_arg(args, void*);
                uint32_t length = get16(in);
                in += 2;
                // A longer length cannot come from pack(): the record is
                // corrupt or hostile. Clamped, it never makes the copy, or
                // the read, run past 2 + kBlockMax bytes of the field.
                if (length > kBlockMax)
                    length = kBlockMax;
                if (length_out != nullptr)
                    *length_out = length;
                if (data != nullptr && length > 0)
                    memcpy(data, in, length);
                in += length;
                break;
            }
            case Kind::kConstant:
                in += 1;
                break;
            case Kind::kChar:
                for (int32_t i = 0; i < count; ++i, in += 1) {
                    uint32_t* value = va_arg(args, uint32_t*);
                    if (value != nullptr)
                        *value = in[0];
                }
                break;
            case Kind::kShort:
                for (int32_t i = 0; i < count; ++i, in += 2) {
                    uint32_t* value = va_arg(args, uint32_t*);
                    if (value != nullptr)
                        *value = get16(in);
                }
                break;
            case Kind::kLong:
                for (int32_t i = 0; i < count; ++i, in += 4) {
                    uint32_t* value = va_arg(args, uint32_t*);
                    if (value != nullptr)
                        *value = get32(in);
                }
                break;
            case Kind::kFloat:
                for (int32_t i = 0; i < count; ++i, in += 4) {
                    float* value = va_arg(args, float*);
                    if (value != nullptr) {
                        const uint32_t bits = get32(in);
                        memcpy(value, &bits, sizeof bits);
                    }
                }
                break;
            case Kind::kPad:
                in += count;
                break;
        }
    }
}
