#include "network/system/data_holder.h"

#include <cstring>

#include "network/system/net_logging.h"

DataHolder::DataHolder()
    : entries(new Entry[kEntryCapacity]),
      entry_capacity(kEntryCapacity),
      entry_count(0),
      data_used(0) {}

DataHolder::~DataHolder() = default;

int DataHolder::add(const void* bytes, uint32_t size) {
    // Room is checked before the table, so a block that breaks both limits
    // is reported as a buffer overrun only.
    if (size > kDataCapacity - data_used) {
        net_log("DATA HOLDER: BUFFER OVER!!");
        return 0;
    }
    if (entry_count >= entry_capacity) {
        net_log("DATA HOLDER: ENTRY OVER!!");
        return 0;
    }
    entries[entry_count].offset = data_used;
    entries[entry_count].size = size;
    ++entry_count;
    if (size != 0)
        memcpy(data + data_used, bytes, size);
    data_used += size;
    return 1;
}

int DataHolder::remove(int32_t index) {
    if (!valid_index(index)) {
        net_log("DATA HOLDER: BAD INDEX TO DELETE!!");
        return 0;
    }
    const uint32_t off = entries[index].offset;
    const uint32_t n = entries[index].size;
    const uint32_t tail = data_used - off - n;
    if (tail != 0)
        memmove(data + off, data + off + n, tail);
    data_used -= n;

    // Blocks lie in index order, so the ones that moved are exactly those
    // with a larger offset. A zero-sized block that starts at `off` itself
    // did not move and keeps its offset.
    for (int32_t i = 0; i < entry_count; ++i) {
        if (i != index && entries[i].offset > off)
            entries[i].offset -= n;
    }
    const int32_t after = entry_count - index - 1;
    if (after != 0) {
        memmove(&entries[index], &entries[index + 1], static_cast<size_t>(after) * sizeof(Entry));
    }
    --entry_count;
    return 1;
}

unsigned char* DataHolder::address_of(int32_t index) {
    if (!valid_index(index)) {
        net_log("DATA HOLDER: BAD INDEX TO GET ADDRESS!!");
        return nullptr;
    }
    return data + entries[index].offset;
}

uint32_t DataHolder::size_of(int32_t index) {
    if (!valid_index(index)) {
        net_log("DATA HOLDER: BAD INDEX TO GET SIZE!!");
        return 0;
    }
    return entries[index].size;
}

void DataHolder::clear() {
    entry_count = 0;
    data_used = 0;
}
