// HeldLines: log lines kept in memory, in their order and with the moment
// each one was made, while they cannot be written, up to a fixed number of
// bytes. The report server keeps report lines here while the daily script
// holds the log. One thread at a time; no lock of its own.
#ifndef NETWORK_SERVER_HELD_LINES_H_
#define NETWORK_SERVER_HELD_LINES_H_

#include <cstddef>
#include <functional>
#include <vector>

#include "network/system/clock_time.h"

class HeldLines {
  public:
    // `limit` bytes of chunks at most, a whole number of chunks.
    explicit HeldLines(size_t limit);
    ~HeldLines() { release(); }
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    // Keeps a copy of `line` (a C string) made at `when`. False, and nothing
    // kept, when it would pass the limit or the system gives no memory.
    bool push(const ClockTime& when, const char* line);
    bool empty() const { return chunks_.empty(); }

    // Calls `take` with every line and its moment, oldest first, then
    // forgets them all and gives their memory back.
    void drain(const std::function<void(const ClockTime& when, const char* line)>& take);

  private:
    void release();

    struct Chunk {
        char* bytes;  // kChunkBytes, mapped; lines as held_lines.cc lays them out
        size_t used;
    };

    size_t limit_;
    std::vector<Chunk> chunks_;
};

#endif  // NETWORK_SERVER_HELD_LINES_H_
