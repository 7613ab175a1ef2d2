// The report record: what a peer sends the report server, one record per
// frame payload, packed and unpacked with RecordCodec; docs/wire-format.md
// lays it out. kReportHeaderFormat reads the type byte alone; kReportFormat
// writes the type through its 192E item and reads the level and the text.
#ifndef NETWORK_SYSTEM_REPORT_RECORD_H_
#define NETWORK_SYSTEM_REPORT_RECORD_H_

#include <cstddef>
#include <cstdint>

#include "network/system/record_codec.h"

// The UDP port the report server takes reports on; also the base name of
// its pid and log files (32730.pid, 32730.log).
inline constexpr uint16_t REPORT_SERVER_PORT = 32730;

inline constexpr uint32_t REPORT_RECORD_TYPE = 192;

inline constexpr char kReportHeaderFormat[] = "2P2P1P2P1PC";
inline constexpr char kReportFormat[] = "2P2P1P2P1P192EC256S";

inline constexpr int32_t kReportHeaderSize = 9;
inline constexpr int32_t kReportRecordSize = 266;
inline constexpr int32_t kReportTextWidth = 256;
// Room an unpacked text needs: a text of the whole field has no terminator.
inline constexpr size_t kReportTextRoom = kReportTextWidth + 1;

static_assert(RecordCodec::packed_size(kReportHeaderFormat) == kReportHeaderSize);
static_assert(RecordCodec::packed_size(kReportFormat) == kReportRecordSize);

#endif  // NETWORK_SYSTEM_REPORT_RECORD_H_
