// qva-web: the box's web front end. Serves the pages and the JSON API and
// reaches the recorder only through its command socket.
#include "HttpServer.h"
#include "PasswordStore.h"
#include "PreviewJpeg.h"
#include "RequestHandler.h"
#include "StateFile.h"
#include "platform/SandboxRoot.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kUsage =
    "usage: qva-web [--listen ADDR:PORT] [--state DIR] [--set-password]\n"
    "  --listen ADDR:PORT  where to serve HTTP (default 0.0.0.0:80)\n"
    "  --state DIR         the password hash and web settings (default /var/lib/qva-web)\n"
    "  --set-password      read a new admin password from standard input (one line), store it and exit\n";

struct Arguments {
    std::string listen = "0.0.0.0:80";
    std::string state;
    bool setPassword = false;
};

// Exit codes: 0 done, 1 could not run (bind, files), 2 wrong usage.
std::optional<Arguments> parseArguments(int argc, char** argv, int& exitCode) {
    Arguments arguments;
    arguments.state = qva::resolvePath("/var/lib/qva-web");
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 < argc) return std::string(argv[++i]);
            std::cerr << "qva-web: " << argument << " needs a value\n" << kUsage;
            return std::nullopt;
        };
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            exitCode = 0;
            return std::nullopt;
        } else if (argument == "--listen") {
            const auto listen = value();
            if (!listen) return std::nullopt;
            arguments.listen = *listen;
        } else if (argument == "--state") {
            const auto state = value();
            if (!state) return std::nullopt;
            arguments.state = *state;
        } else if (argument == "--set-password") {
            arguments.setPassword = true;
        } else {
            std::cerr << "qva-web: unknown argument " << argument << "\n" << kUsage;
            return std::nullopt;
        }
    }
    return arguments;
}

// "0.0.0.0:80", "127.0.0.1:8080", "[::]:80".
std::optional<boost::asio::ip::tcp::endpoint> parseListen(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() || colon + 6 < text.size()) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    unsigned port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + unsigned(c - '0');
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    if (error || port > 65535) return std::nullopt;
    return boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(port));
}

// Reads one line; from a terminal without showing it.
std::optional<std::string> readPasswordLine() {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "New admin password: " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    if (!read) return std::nullopt;
    return line;
}

int setPassword(PasswordStore& passwords) {
    const auto line = readPasswordLine();
    std::string password = line.value_or("");
    if (!line) {
        std::cerr << "qva-web: no password on standard input\n";
        return 2;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (const auto weak = PasswordStore::weakness(password)) {
        std::cerr << "qva-web: " << *weak << "\n";
        return 2;
    }
    if (!passwords.set(password)) {
        std::cerr << "qva-web: cannot store the password in " << passwords.hashPath() << "\n";
        return 1;
    }
    std::cerr << "qva-web: password stored in " << passwords.hashPath() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 2;
    const auto arguments = parseArguments(argc, argv, exitCode);
    if (!arguments) return exitCode;

    if (!qva_web::ensurePrivateDirectory(arguments->state)) {
        std::cerr << "qva-web: cannot create the state folder " << arguments->state << "\n";
        return 1;
    }
    PasswordStore passwords(arguments->state);
    if (arguments->setPassword) return setPassword(passwords);

    const auto endpoint = parseListen(arguments->listen);
    if (!endpoint) {
        std::cerr << "qva-web: --listen wants ADDR:PORT, e.g. 127.0.0.1:8080, not " << arguments->listen << "\n";
        return 2;
    }
    if (!passwords.hasPassword()) {
        const auto initial = passwords.createInitial();
        if (!initial) {
            std::cerr << "qva-web: no admin password is set and none can be stored in " << arguments->state << "\n";
            return 1;
        }
        std::cerr << "qva-web: no admin password was set; a first one is in " << *initial
                  << " (change it on the settings page or with qva-web --set-password)\n";
    }

    auto preview = std::make_shared<PreviewJpeg>(qva::resolvePath("/preview.uyvy"));
    RequestHandler::Options options;
    options.socketPath = qva::resolvePath("/tmp/domain_socket");
    options.stateDir = arguments->state;
    options.logoPath = qva::resolvePath("/var/www/uploads/logo.png");
    options.preview = [preview] { return preview->jpeg(); };
    // Declared first so it goes last: the handler's pool finishes jobs that hold work on it.
    boost::asio::io_context io;
    RequestHandler handler(options);

    std::optional<HttpServer> server;
    try {
        server.emplace(io, *endpoint, handler);
    } catch (const boost::system::system_error& e) {
        std::cerr << "qva-web: cannot listen on " << arguments->listen << ": " << e.code().message() << "\n";
        return 1;
    }
    server->start();
    boost::asio::signal_set stopSignals(io, SIGINT, SIGTERM);
    stopSignals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });

    const std::string host = endpoint->address().is_unspecified() ? "<the box's address>"
                             : endpoint->address().is_v6()        ? "[" + endpoint->address().to_string() + "]"
                                                                  : endpoint->address().to_string();
    std::cout << "qva-web: serving http://" << host << ":" << server->port() << "/" << std::endl;

    // A few threads: a page or a script is served while another request waits.
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back([&io] { io.run(); });
    io.run();
    for (std::thread& thread : threads) thread.join();
    return 0;
}
