// The report record: what a peer sends the report server, one record per
// frame payload, packed and unpacked with RecordCodec.
//
//   offset  size  header format  report format  field
//   0       2     2P             2P             header field 1 (not read by the server)
//   2       2     2P             2P             header field 2 (not read)
//   4       1     1P             1P             header field 3 (not read)
//   5       2     2P             2P             header field 4 (not read)
//   7       1     1P             1P             header field 5 (not read)
//   8       1     C              192E           record type; REPORT_RECORD_TYPE marks a report
//   9       1     -              C              level, 0..255
//   10      256   -              256S           text
//
// The header is bytes 0..8; a report record is 266 bytes. A packing sender
// writes the type byte C0 through the 192E item and ends the text with a
// zero byte and zero padding when it is shorter than 256 characters; a text
// of 256 characters fills the field with no terminator, so an unpacking
// reader needs kReportTextRoom bytes for it. The server reads no multi-byte
// number, so the byte order of the header fields does not matter to it.
//
// The server reads the header with kReportHeaderFormat, drops records of
// any other type, and reads the rest with kReportFormat.
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
// Room an unpacked text needs: the whole field and the terminator.
inline constexpr size_t kReportTextRoom = kReportTextWidth + 1;

static_assert(RecordCodec::packed_size(kReportHeaderFormat) == kReportHeaderSize);
static_assert(RecordCodec::packed_size(kReportFormat) == kReportRecordSize);

#endif  // NETWORK_SYSTEM_REPORT_RECORD_H_
