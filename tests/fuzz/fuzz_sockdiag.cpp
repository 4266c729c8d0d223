// The sock_diag reply parser over any bytes, taken as one datagram or cut into two at a point
// the input chooses; the request's sequence number and port are those of the first message,
// so that the fuzzer reaches the rows and the end of the dump.
#include "platform/SockDiagParser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <linux/netlink.h>

using quillon::platform::TcpRow;
using quillon::platform::sockdiag::DumpParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t cut = data[0] % 4 == 0 ? (size - 1) / 2 : size - 1;
    ++data;
    --size;
    nlmsghdr h{};
    if (size >= sizeof h) {
        std::memcpy(&h, data, sizeof h);
    }
    std::vector<TcpRow> rows;
    DumpParser parser;
    parser.begin(h.nlmsg_seq, h.nlmsg_pid, &rows);
    DumpParser::Status status = parser.feed(data, cut);
    if (status == DumpParser::Status::More) {
        status = parser.feed(data + cut, size - cut);
    }
    if (status == DumpParser::Status::Failed && parser.error() <= 0) {
        std::abort(); // a failure always carries a positive errno
    }
    if (rows.size() > parser.rowsSeen()) {
        std::abort();
    }
    return 0;
}
