// DataHolder: a list of variable-sized byte blocks packed one after another
// in a fixed data area of 65,536 bytes, with a table of up to 1,024 entries
// that records where each block lies. Blocks are appended at the end, read
// back by index and removed from anywhere. The blocks always lie contiguous
// from the area's start in index order: a removal closes its gap at once, and
// the indexes behind it shrink by one.
//
// add() and remove() return 1 or 0; a refusal (no room, table full, bad
// index) writes one log line and changes nothing. The object is a little
// over 64 KiB: prefer the heap. No lock: one thread at a time.
#ifndef NETWORK_SYSTEM_DATA_HOLDER_H_
#define NETWORK_SYSTEM_DATA_HOLDER_H_

#include <cstdint>
#include <memory>

class DataHolder {
  public:
    static constexpr int32_t kEntryCapacity = 1024;
    static constexpr uint32_t kDataCapacity = 65536;

    DataHolder();
    virtual ~DataHolder();
    DataHolder(const DataHolder&) = delete;
    DataHolder& operator=(const DataHolder&) = delete;

    // Appends a copy of `size` bytes (`bytes` may be null for 0). 0 when the
    // free room is smaller ("DATA HOLDER: BUFFER OVER!!", tested first) or
    // the table is full ("DATA HOLDER: ENTRY OVER!!").
    int add(const void* bytes, uint32_t size);

    // Removes block `index`; 0 for an index outside 0 .. count() - 1
    // ("DATA HOLDER: BAD INDEX TO DELETE!!").
    int remove(int32_t index);

    // Block `index` in the data area, valid until the next remove() or
    // clear(); null for a bad index ("DATA HOLDER: BAD INDEX TO GET ADDRESS!!").
    unsigned char* address_of(int32_t index);

    // The size of block `index`; 0 for a bad index
    // ("DATA HOLDER: BAD INDEX TO GET SIZE!!"), as for an empty block.
    uint32_t size_of(int32_t index);

    int32_t count() const { return entry_count; }
    // The sum of all block sizes.
    uint32_t bytes_used() const { return data_used; }

    // Forgets every block; the entry table stays allocated.
    void clear();

  private:
    struct Entry {
        uint32_t offset;  // start of the block within `data`
        uint32_t size;    // length in bytes, 0 allowed
    };

    bool valid_index(int32_t index) const { return index >= 0 && index < entry_count; }

    std::unique_ptr<Entry[]> entries;
    int32_t entry_capacity;
    int32_t entry_count;
    unsigned char data[kDataCapacity];  // not cleared; only data[0, data_used) is meaningful
    uint32_t data_used;
};

#endif  // NETWORK_SYSTEM_DATA_HOLDER_H_
