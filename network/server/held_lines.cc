#include "network/server/held_lines.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

namespace {

// Lines go into chunks mapped from the system and unmapped as soon as the
// lines are taken, so the memory goes back to the system at once rather than
// staying in the heap.
constexpr size_t kChunkBytes = 1 << 20;

// A held line in its chunk: the moment it was made (seconds, then
// microseconds), then the text and its zero byte.
struct Moment {
    int64_t seconds;
    int32_t microseconds;
};

}  // namespace

HeldLines::HeldLines(size_t limit) : limit_(limit) {}

bool HeldLines::push(const ClockTime& when, const char* line) {
    const size_t size = sizeof(Moment) + strlen(line) + 1;
    if (chunks_.empty() || chunks_.back().used + size > kChunkBytes) {
        if ((chunks_.size() + 1) * kChunkBytes > limit_)
            return false;
        void* bytes =
            mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (bytes == MAP_FAILED)
            return false;
        chunks_.push_back({static_cast<char*>(bytes), 0});
    }
    Chunk& chunk = chunks_.back();
    const Moment moment = {when.seconds(), when.microseconds()};
    memcpy(chunk.bytes + chunk.used, &moment, sizeof moment);
    memcpy(chunk.bytes + chunk.used + sizeof moment, line, size - sizeof moment);
    chunk.used += size;
    return true;
}

void HeldLines::drain(const std::function<void(const ClockTime&, const char*)>& take) {
    for (const Chunk& chunk : chunks_) {
        for (size_t at = 0; at < chunk.used;) {
            Moment moment;
            memcpy(&moment, chunk.bytes + at, sizeof moment);
            const char* line = chunk.bytes + at + sizeof moment;
            ClockTime when;
            when.set(moment.seconds, moment.microseconds);
            take(when, line);
            at += sizeof moment + strlen(line) + 1;
        }
    }
    release();
}

void HeldLines::release() {
    for (const Chunk& chunk : chunks_)
        munmap(chunk.bytes, kChunkBytes);
    chunks_.clear();
}
