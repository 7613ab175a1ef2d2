#include "network/server/held_lines.h"

#include <sys/mman.h>

#include <cstring>

namespace {
constexpr size_t kChunkBytes = 1 << 20;
}  // namespace

HeldLines::HeldLines(size_t limit) : limit_(limit) {}

bool HeldLines::push(const char* line) {
    const size_t size = strlen(line) + 1;
    if (chunks_.empty() || last_used_ + size > kChunkBytes) {
        if ((chunks_.size() + 1) * kChunkBytes > limit_)
            return false;
        void* chunk =
            mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (chunk == MAP_FAILED)
            return false;
        chunks_.push_back(static_cast<char*>(chunk));
        last_used_ = 0;
    }
    memcpy(chunks_.back() + last_used_, line, size);
    last_used_ += size;
    return true;
}

void HeldLines::drain(const std::function<void(const char*)>& take) {
    for (size_t i = 0; i < chunks_.size(); ++i) {
        const size_t used = i + 1 < chunks_.size() ? kChunkBytes : last_used_;
        // A chunk ends where the next line did not fit: its unused tail is zero.
        for (size_t at = 0; at < used && chunks_[i][at] != '\0'; at += strlen(chunks_[i] + at) + 1)
            take(chunks_[i] + at);
    }
    release();
}

void HeldLines::release() {
    for (char* chunk : chunks_)
        munmap(chunk, kChunkBytes);
    chunks_.clear();
    last_used_ = 0;
}
