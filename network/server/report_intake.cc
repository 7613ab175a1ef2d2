#include "network/server/report_intake.h"

#include <cstdio>
#include <cstring>

#include "network/system/record_codec.h"
#include "network/system/report_record.h"

uint32_t ReportIntake::take(const DgramBatch& batch, ReportSink& sink) {
    uint32_t reports = 0;
    for (uint32_t i = 0; i < batch.count(); ++i)
        reports += take_datagram(batch.datagram(i), batch.length(i), sink);
    return reports;
}

uint32_t ReportIntake::take_datagram(const uint8_t* datagram, uint32_t length, ReportSink& sink) {
    if (reader_.append(datagram, length) == 0) {
        bad_datagrams_ += length > DGRAM_MAX;  // an empty one carries nothing to lose
        return 0;
    }
    uint8_t payload[DGRAM_MAX];
    uint32_t payload_length = 0;
    uint32_t reports = 0;
    while (reader_.next_frame(payload, &payload_length) == 1) {
        // The record is read at fixed offsets whatever the frame's length: a
        // short frame must not show bytes of an earlier, longer one.
        if (payload_length < static_cast<uint32_t>(kReportRecordSize))
            memset(payload + payload_length, 0, kReportRecordSize - payload_length);

        uint32_t record_type = 0;
        RecordCodec::unpack(payload, kReportHeaderFormat, &record_type);
        if (record_type != REPORT_RECORD_TYPE)
            continue;
        uint32_t level = 0;
        char text[kReportTextRoom];
        RecordCodec::unpack(payload, kReportFormat, &level, text);
        char escaped[kEscapedTextRoom];
        escape_report_text(text, escaped);
        sink.report(level, escaped);
        ++reports;
    }
    // Each datagram stands alone: the start of a frame left at its end
    // would otherwise join the next datagram, which may come from another
    // peer, and spoil it. Peers never split a frame.
    bad_datagrams_ += reader_.discard() > 0;
    return reports;
}

// As syslog daemons do: a report can neither begin a line of its own in the
// log nor reach a terminal's control sequences. Bytes from 0x80 up are left,
// since peers may use any 8-bit encoding.
size_t escape_report_text(const char* text, char* out) {
    char* at = out;
    for (; *text != '\0'; ++text) {
        const unsigned char byte = static_cast<unsigned char>(*text);
        if (byte < 0x20 || byte == 0x7F) {
            *at++ = '#';
            *at++ = static_cast<char>('0' + (byte >> 6));
            *at++ = static_cast<char>('0' + (byte >> 3 & 7));
            *at++ = static_cast<char>('0' + (byte & 7));
        } else {
            *at++ = *text;
        }
    }
    *at = '\0';
    return static_cast<size_t>(at - out);
}

size_t format_report_line(uint32_t level, const char* text, char* out) {
    return static_cast<size_t>(
        snprintf(out, kReportLineRoom, kReportLineFormat, static_cast<int>(level), text));
}
