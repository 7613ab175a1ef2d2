// ReportIntake: the report server's intake, the whole way from a batch of
// received datagrams to report lines. Each datagram passes the server's frame
// reader on its own: the payloads of its frames are unpacked as report
// records, other record types dropped, and each report's level and escaped
// text go to a ReportSink; what is left after its last whole frame is dropped
// and counted (docs/design.md, "Each datagram stands alone").
//
// Threads: the owner's one thread at a time, on which the sink is called.
#ifndef NETWORK_SERVER_REPORT_INTAKE_H_
#define NETWORK_SERVER_REPORT_INTAKE_H_

#include <cstddef>
#include <cstdint>

#include "network/system/net_dgram_io.h"

// The log line of one report: its level as an int and its escaped text.
inline constexpr char kReportLineFormat[] = "LEVEL %d: (%s)";
// Room for a report's text with every byte escaped, and for its log line.
inline constexpr size_t kEscapedTextRoom = 4 * 256 + 1;
inline constexpr size_t kReportLineRoom = sizeof "LEVEL 255: ()" + kEscapedTextRoom;

// Receives the reports the intake finds.
class ReportSink {
  public:
    // `level` is 0..255, `text` the record's text up to its first zero byte,
    // escaped; it lives only for the call.
    virtual void report(uint32_t level, const char* text) = 0;

  protected:
    ~ReportSink() = default;
};

class ReportIntake {
  public:
    // Works on `reader`, opened plain with serials ignored, and empty.
    explicit ReportIntake(DgramFrameReader& reader) : reader_(reader) {}

    // Takes the datagrams of `batch` apart, in order; the reports go to
    // `sink`. Returns how many. take_datagram() takes one datagram.
    uint32_t take(const DgramBatch& batch, ReportSink& sink);
    uint32_t take_datagram(const uint8_t* datagram, uint32_t length, ReportSink& sink);

    // Frames dropped since construction for a bad length or CRC; a datagram
    // longer than DGRAM_MAX, or bytes left after a datagram's last whole
    // frame, count as one.
    uint64_t dropped_frames() const { return reader_.dropped_frames() + bad_datagrams_; }

  private:
    DgramFrameReader& reader_;
    uint64_t bad_datagrams_ = 0;
};

// Copies `text` to `out` (kEscapedTextRoom bytes) with every control byte,
// 0x01 to 0x1F and 0x7F, written as '#' and three octal digits ("#012" for a
// newline). Returns the length written.
size_t escape_report_text(const char* text, char* out);

// Writes the log line of one report to `out` (kReportLineRoom bytes);
// returns its length.
size_t format_report_line(uint32_t level, const char* text, char* out);

#endif  // NETWORK_SERVER_REPORT_INTAKE_H_
