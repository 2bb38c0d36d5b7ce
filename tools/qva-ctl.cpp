// qva-ctl: the recorder's command socket from a shell.
//
//   qva-ctl 'GET#INFO#'        one raw request; the reply printed as it is
//   qva-ctl info | usb | net   the reports as readable tables
//   qva-ctl rec all|ID         start recording on every drive or on one
//   qva-ctl stop all|ID        stop it
//   qva-ctl set KEY VALUE      one setting, e.g. qva-ctl set PAL 1
//
// Exits 1 on "ERR", 2 when the recorder cannot be reached or on bad usage.
// The socket is found through QVA_ROOT like the recorder's own paths.
#include "platform/SandboxRoot.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

std::optional<std::string> request(const std::string& line) {
    const std::string path = qva::resolvePath("/tmp/domain_socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::cerr << "qva-ctl: socket path too long: " << path << "\n";
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "qva-ctl: cannot reach the recorder at " << path << ": " << std::strerror(errno) << "\n";
        if (fd >= 0) ::close(fd);
        return std::nullopt;
    }
    const std::string sent = line + "\r\n";
    for (size_t done = 0; done < sent.size();) {
        const ssize_t n = ::send(fd, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            std::cerr << "qva-ctl: sending failed: " << std::strerror(errno) << "\n";
            ::close(fd);
            return std::nullopt;
        }
        done += size_t(n);
    }
    // The recorder closes the connection after its reply.
    std::string reply;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(chunk, size_t(n));
    }
    ::close(fd);
    return reply;
}

std::vector<std::string> split(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(delimiter, begin);
        pieces.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return pieces;
        begin = end + 1;
    }
}

// "a=1;b=2" to its pairs; an empty piece (after a closing ";") is skipped.
std::vector<std::pair<std::string, std::string>> pairs(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const std::string& piece : split(text, ';')) {
        if (piece.empty()) continue;
        const size_t equals = piece.find('=');
        result.emplace_back(piece.substr(0, equals), equals == std::string::npos ? "" : piece.substr(equals + 1));
    }
    return result;
}

// Reports look like "INFO#<title>#0#<pairs>"; everything after the third "#".
int printKeyValues(const std::string& reply) {
    const std::vector<std::string> parts = split(reply, '#');
    if (parts.size() < 4 || parts[0] != "INFO") {
        std::cerr << "qva-ctl: unexpected reply: " << reply << "\n";
        return 1;
    }
    const auto fields = pairs(parts[3]);
    size_t width = 0;
    for (const auto& field : fields) width = std::max(width, field.first.size());
    for (const auto& field : fields)
        std::printf("%-*s  %s\n", int(width + 1), (field.first + ":").c_str(), field.second.c_str());
    return 0;
}

int printDrives(const std::string& reply) {
    const std::vector<std::string> parts = split(reply, '#');
    if (parts.empty() || parts[0] != "INFO" || (parts.size() - 1) % 3 != 0) {
        std::cerr << "qva-ctl: unexpected reply: " << reply << "\n";
        return 1;
    }
    const std::vector<std::string> columns = {"ID", "LABEL", "REC", "SIZE", "FREE", "TIME-LEFT", "NTFS"};
    const std::vector<std::string> keys = {"", "label", "rec", "size", "free space", "time left", "ntfs"};
    std::vector<std::vector<std::string>> rows = {columns};
    for (size_t i = 1; i + 2 < parts.size(); i += 3) {
        std::vector<std::string> row(columns.size());
        row[0] = parts[i + 1];
        for (const auto& field : pairs(parts[i + 2]))
            for (size_t c = 1; c < keys.size(); ++c)
                if (field.first == keys[c]) row[c] = field.second;
        for (size_t c : {size_t(2), size_t(6)}) row[c] = row[c] == "1" ? "yes" : "no";
        rows.push_back(row);
    }
    std::vector<size_t> widths(columns.size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    if (rows.size() == 1) std::printf("(no drives)\n");
    return 0;
}

int usage() {
    std::cerr << "usage: qva-ctl 'RAW#REQUEST#' | info | usb | net | rec all|ID | stop all|ID | set KEY VALUE\n";
    return 2;
}

// "all" is drive -1; otherwise a plain decimal id.
std::optional<std::string> driveArgument(const std::string& text) {
    if (text == "all") return "-1";
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string& verb = args[0];

    enum class Show { Raw, KeyValues, Drives } show = Show::Raw;
    std::string line;
    if (verb == "info" && args.size() == 1) {
        line = "GET#INFO#", show = Show::KeyValues;
    } else if (verb == "net" && args.size() == 1) {
        line = "GET#NET#", show = Show::KeyValues;
    } else if (verb == "usb" && args.size() == 1) {
        line = "GET#USB#", show = Show::Drives;
    } else if ((verb == "rec" || verb == "stop") && args.size() == 2) {
        const auto drive = driveArgument(args[1]);
        if (!drive) return usage();
        line = "SET#USB#" + *drive + (verb == "rec" ? "#REC#" : "#STP#");
    } else if (verb == "set" && (args.size() == 2 || args.size() == 3)) {
        // A missing VALUE sends an empty one ("set NET" selects DHCP).
        line = "SET#" + args[1] + "#0#" + (args.size() == 3 ? args[2] : "") + "#";
    } else if (args.size() == 1 && verb.find('#') != std::string::npos) {
        line = verb;
    } else {
        return usage();
    }

    const std::optional<std::string> reply = request(line);
    if (!reply) return 2;
    if (show == Show::Raw) {
        // As it came; a line feed only for a person at a terminal.
        std::fputs(reply->c_str(), stdout);
        if (::isatty(STDOUT_FILENO)) std::fputs("\n", stdout);
        return *reply == "ERR" || reply->empty() ? 1 : 0;
    }
    if (*reply == "ERR" || reply->empty()) {
        std::fprintf(stderr, "%s\n", reply->empty() ? "qva-ctl: no reply" : "ERR");
        return 1;
    }
    switch (show) {
        case Show::Raw: break;
        case Show::KeyValues: return printKeyValues(*reply);
        case Show::Drives: return printDrives(*reply);
    }
    return 0;
}
