// The documents under docs/ against the code they describe.
//
// docs/wire-format.md marks what this test reads with "<!-- checked: NAME -->"
// on the line before it: "dump", a fenced block of "oooo: xx xx ..." lines
// (16 bytes a line, an optional note after a '|') holding one datagram, and
// "reports", the table | frame | offset | serial | CRC | level | `text` | of
// what that datagram holds. Every data row must parse. The dump goes through
// a DgramFrameReader on a real loopback socket and the record codec exactly
// as the report server's intake takes a datagram and must give the stated
// reports; it must also be byte for byte what a DgramFrameWriter sends for
// them (on a mismatch the test prints the dump the library makes).
//
// Every source path either document names in backticks must exist, and the
// committed docs/design.svg must hold exactly the graph, clusters, nodes and
// edges of docs/design.dot (re-render it with the `docs` target).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Reports = std::vector<std::pair<unsigned long, std::string>>;  // level, text

std::string read_text(const std::string& relative) {
    std::ostringstream text;
    text << std::ifstream(std::string(SOURCE_DIR) + "/" + relative, std::ios::binary).rdbuf();
    EXPECT_FALSE(text.str().empty()) << relative << " is missing or empty";
    return text.str();
}

// The lines after "<!-- checked: NAME -->" in wire-format.md up to the next
// blank line, fence lines left out.
std::vector<std::string> checked_part(const std::string& name) {
    const std::string text = read_text("docs/wire-format.md");
    const std::string marker = "<!-- checked: " + name + " -->\n";
    const size_t at = text.find(marker);
    EXPECT_NE(at, std::string::npos) << "wire-format.md has no " << marker;
    std::istringstream in(at == std::string::npos ? "" : text.substr(at + marker.size()));
    std::vector<std::string> part;
    for (std::string line; std::getline(in, line) && !line.empty();)
        if (!line.starts_with("```"))
            part.push_back(line);
    return part;
}

Bytes documented_dump() {
    static const std::regex kLine(R"(([0-9a-f]{4}):((?: [0-9a-f]{2}){1,16})(  \|.*)?)");
    Bytes bytes;
    std::smatch m;
    for (const std::string& line : checked_part("dump")) {
        EXPECT_TRUE(std::regex_match(line, m, kLine) &&
                    std::stoul(m[1].str(), nullptr, 16) == bytes.size())
            << "not a dump line at offset " << bytes.size() << ": \"" << line << "\"";
        std::istringstream pairs(m[2].str());
        for (unsigned byte = 0; pairs >> std::hex >> byte;)
            bytes.push_back(static_cast<uint8_t>(byte));
    }
    return bytes;
}

std::string format_dump(const Bytes& bytes) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0)
            out << (i > 0 ? "\n" : "") << std::setw(4) << i << ":";
        out << " " << std::setw(2) << unsigned{bytes[i]};
    }
    return out.str() + "\n";
}

// The level and text of every row of the reports table, frames numbered 1, 2, ...
Reports stated_reports() {
    static const std::regex kRow(R"(\| *(\d+) *\|[^|]*\|[^|]*\|[^|]*\| *(\d+) *\| *`([^`]*)` *\|)");
    const std::vector<std::string> rows = checked_part("reports");
    Reports reports;
    std::smatch m;
    for (size_t i = 2; i < rows.size(); ++i) {  // after the heading and |---| lines
        const bool row = std::regex_match(rows[i], m, kRow) && std::stoul(m[1].str()) == i - 1;
        EXPECT_TRUE(row) << "reports: not frame " << i - 1 << ": \"" << rows[i] << "\"";
        reports.emplace_back(row ? std::stoul(m[2].str()) : 0, m[3].str());
    }
    return reports;
}

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
struct UdpSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    pollfd ready{fd, POLLIN, 0};
    sockaddr* raw() { return reinterpret_cast<sockaddr*>(&address); }

    UdpSocket() {
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, raw(), size), 0) << strerror(errno);
        EXPECT_EQ(getsockname(fd, raw(), &size), 0) << strerror(errno);
    }
    ~UdpSocket() { close(fd); }
    bool readable() { return poll(&ready, 1, 10000) == 1; }
};

// What the report server's intake makes of one datagram: its reader opened
// plain with serials ignored, one datagram received, next_frame until 0, each
// payload zero-filled past its length, its type read with the header format
// and, for a report, level and text with the report format.
Reports serve_one_datagram(const Bytes& datagram) {
    UdpSocket server, peer;
    auto reader = std::make_unique<DgramFrameReader>();
    EXPECT_EQ(reader->open(server.fd, 0, 0), 1);
    EXPECT_EQ(
        sendto(peer.fd, datagram.data(), datagram.size(), 0, server.raw(), sizeof server.address),
        static_cast<ssize_t>(datagram.size()));
    EXPECT_TRUE(server.readable());
    reader->receive();  // after open, the first I/O call only steps the state
    EXPECT_EQ(reader->receive(), datagram.size()) << "the reader did not take the datagram whole";
    Reports taken;
    uint8_t payload[DGRAM_MAX];
    uint32_t length = 0, type = 0, level = 0;
    char text[kReportTextRoom];
    while (reader->next_frame(payload, &length) == 1) {
        memset(payload + length, 0, sizeof payload - length);
        RecordCodec::unpack(payload, kReportHeaderFormat, &type);
        if (type != REPORT_RECORD_TYPE)
            continue;
        RecordCodec::unpack(payload, kReportFormat, &level, text);
        taken.emplace_back(level, text);
    }
    return taken;
}

// The datagram a fresh DgramFrameWriter sends for `reports`, each record
// packed on a zeroed buffer as report_send packs it.
Bytes written_datagram(const Reports& reports) {
    UdpSocket receiver, sender;
    auto writer = std::make_unique<DgramFrameWriter>();
    EXPECT_EQ(writer->open(sender.fd, 0, &receiver.address), 1);
    for (const auto& [level, text] : reports) {
        uint8_t record[kReportRecordSize] = {};
        RecordCodec::pack(record, kReportFormat, static_cast<int>(level), text.c_str());
        EXPECT_EQ(writer->write_frame(record, sizeof record), 1);
    }
    writer->send();  // after open, the first I/O call only steps the state
    EXPECT_GT(writer->send(), 0u);
    EXPECT_EQ(writer->fill(), 0u) << "the frames did not fit one datagram";
    Bytes datagram(DGRAM_MAX + 1);
    EXPECT_TRUE(receiver.readable());
    const ssize_t got = recv(receiver.fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
    datagram.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return datagram;
}

TEST(WireFormatDocs, ExampleDatagramIsWhatTheLibraryReadsAndWrites) {
    const Bytes dump = documented_dump();
    const Reports stated = stated_reports();
    ASSERT_GE(stated.size(), 2u) << "the example holds two reports";
    EXPECT_EQ(serve_one_datagram(dump), stated) << "the intake's reading of the dump vs the table";
    const Bytes written = written_datagram(stated);
    EXPECT_TRUE(dump == written) << "a DgramFrameWriter sends this for the stated reports:\n"
                                 << format_dump(written);
}

TEST(DesignDocs, NamedPathsExistAndSvgIsRenderedFromTheCurrentDot) {
    static const std::regex kPath(
        "`((?:network|tools|tests|docs|scripts|packaging|cmake|fuzz|examples|bench)/[^` ]*)`");
    for (const char* document : {"docs/design.md", "docs/wire-format.md"}) {
        const std::string doc = read_text(document);
        int paths = 0;
        for (std::sregex_iterator it(doc.begin(), doc.end(), kPath), end; it != end; ++it, ++paths)
            EXPECT_TRUE(std::filesystem::exists(std::string(SOURCE_DIR) + "/" + (*it)[1].str()))
                << document << " names `" << (*it)[1] << "`, which does not exist";
        EXPECT_GE(paths, 3) << document << " names too few source paths";
    }

    // Graphviz titles the graph, its clusters, nodes and edges ("a&#45;&gt;b");
    // design.dot has one statement a line.
    static const std::regex kStatement(
        R"(\s*(?:digraph\s+(\w+)|subgraph\s+(cluster\w*)|)"
        R"((?!(?:graph|node|edge)\b)(\w+)\s*(?:->\s*(\w+)\s*)?[\[;]).*)");
    std::set<std::string> dot, svg;
    std::istringstream lines(read_text("docs/design.dot"));
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, kStatement))
            dot.insert(m[1].str() + m[2].str() + m[3].str());
        if (m[4].matched)  // false after a failed match: m is then empty
            dot.insert({m[4].str(), m[3].str() + "&#45;&gt;" + m[4].str()});
    }
    const std::string rendered = read_text("docs/design.svg");
    static const std::regex kTitle("<title>([^<]*)</title>");
    for (std::sregex_iterator it(rendered.begin(), rendered.end(), kTitle), end; it != end; ++it)
        svg.insert((*it)[1]);
    EXPECT_EQ(dot, svg) << "docs/design.svg is stale (cmake --build BUILD --target docs)";
}

}  // namespace
