// The report intake: what the report server makes of the frames it receives.
//
// take_reports() takes every complete frame out of a DgramFrameReader,
// unpacks each payload as a report record (report_record.h) and hands the
// level and the text of each report to a ReportSink, in the order of the
// frames. It is the one place where datagrams become reports: the daemon
// calls it after each datagram it receives, and its tests and benchmarks
// call it to run exactly the daemon's code. format_report_line() makes the
// line the daemon logs for a report.
//
// Threads: take_reports() works on the caller's reader and calls the sink on
// the caller's thread; it keeps no state of its own.
#ifndef NETWORK_SYSTEM_REPORT_INTAKE_H_
#define NETWORK_SYSTEM_REPORT_INTAKE_H_

#include <cstddef>
#include <cstdint>

#include "network/system/net_dgram_io.h"

// Room for a report's text with every byte escaped (four bytes each) and
// its terminator, and for its whole log line.
inline constexpr size_t kEscapedTextRoom = 4 * 256 + 1;
inline constexpr size_t kReportLineRoom = sizeof "LEVEL 255: ()" + kEscapedTextRoom;

// Receives the reports take_reports() finds.
class ReportSink {
  public:
    // `level` is 0..255; `text` is the record's text up to its first zero
    // byte (at most 256 bytes), escaped by escape_report_text(). It lives
    // only for the call.
    virtual void report(uint32_t level, const char* text) = 0;

  protected:
    ~ReportSink() = default;
};

// Takes frames out of `reader` until next_frame() gives 0 and hands every
// report record to `sink`. Records of another type are dropped without a
// word, as are frames the reader drops (bad CRC, bad length). Returns the
// number of reports handed over. `reader` must hold at most one datagram
// and what was left of the last one (the reader's own rule for a
// DGRAM_MAX-byte payload buffer).
uint32_t take_reports(DgramFrameReader& reader, ReportSink& sink);

// Copies `text` to `out` (kEscapedTextRoom bytes) with every control byte,
// 0x01 to 0x1F and 0x7F, written as '#' and three octal digits, as syslog
// daemons do: a newline becomes "#012", ESC "#033". A report therefore
// cannot begin a line of its own in the log, nor reach a terminal's control
// sequences. Bytes from 0x80 up stay as they are: peers may use any 8-bit
// encoding. Returns the length written.
size_t escape_report_text(const char* text, char* out);

// The log line of one report, "LEVEL <level>: (<text>)", with the level as an
// int and the escaped text.
inline constexpr char kReportLineFormat[] = "LEVEL %d: (%s)";

// Writes the log line of one report to `out` (kReportLineRoom bytes);
// returns its length.
size_t format_report_line(uint32_t level, const char* text, char* out);

#endif  // NETWORK_SYSTEM_REPORT_INTAKE_H_
