// The report scan engine on its own, for the tests: each finder the processor runs, on
// report files, without the module around it.
//
//   scan_driver finders                            the finders the processor runs, one a line
//   scan_driver zeros                              QM_DECIMAL_ZEROS (below), one a line, in hex
//   scan_driver FINDER PREFIX ascii|utf-8 PATH...  one line per file: OUTCOME KIND LINE
//
// OUTCOME is stopped, no_stop, fallback or interrupted; KIND score or message; LINE the bytes
// of the stop line in hex. KIND and LINE are "-" without a stop. Built with the engine's
// source and QM_DECIMAL_ZEROS, the code points above U+007F that start a run of ten decimal
// digits, as the interpreter running the tests has them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "report_scan.hpp"

namespace scan = qm::report_scan;

namespace {

constexpr std::uint32_t zeros[] = {QM_DECIMAL_ZEROS};

bool is_decimal(std::uint32_t c) {
    for (const std::uint32_t zero : zeros)
        if (c >= zero && c - zero < 10) return true;
    return false;
}

const char* name_of(scan::Outcome outcome) {
    switch (outcome) {
    case scan::Outcome::stopped: return "stopped";
    case scan::Outcome::no_stop: return "no_stop";
    case scan::Outcome::fallback: return "fallback";
    case scan::Outcome::interrupted: return "interrupted";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "finders") == 0) {
        for (const scan::Finder finder : scan::finders()) std::printf("%s\n", scan::finder_name(finder));
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "zeros") == 0) {
        for (const std::uint32_t zero : zeros) std::printf("0x%x\n", static_cast<unsigned>(zero));
        return 0;
    }
    scan::Request request;
    bool known = false;
    for (const scan::Finder finder : scan::finders())
        if (argc >= 5 && std::strcmp(argv[1], scan::finder_name(finder)) == 0) {
            request.finder = finder;
            known = true;
        }
    if (!known || (std::strcmp(argv[3], "ascii") != 0 && std::strcmp(argv[3], "utf-8") != 0)) {
        std::fprintf(stderr, "usage: scan_driver finders | zeros | FINDER PREFIX ascii|utf-8 PATH...\n");
        return 2;
    }
    request.prefix = argv[2];
    request.ascii = std::strcmp(argv[3], "ascii") == 0;
    request.is_decimal = is_decimal;
    for (int i = 4; i < argc; ++i) {
        request.fd = ::open(argv[i], O_RDONLY | O_CLOEXEC);
        if (request.fd < 0) {
            std::perror(argv[i]);
            return 1;
        }
        const scan::Result result = scan::scan(request);
        ::close(request.fd);
        std::printf("%s ", name_of(result.outcome));
        if (result.outcome != scan::Outcome::stopped) {
            std::printf("- -\n");
            continue;
        }
        std::string hex(2 * result.line.size(), '0');
        for (size_t k = 0; k < result.line.size(); ++k) {
            const auto c = static_cast<unsigned char>(result.line[k]);
            hex[2 * k] = "0123456789abcdef"[c >> 4];
            hex[2 * k + 1] = "0123456789abcdef"[c & 15];
        }
        std::printf("%s %s\n", result.kind == scan::LineKind::score ? "score" : "message", hex.c_str());
    }
    return 0;
}
