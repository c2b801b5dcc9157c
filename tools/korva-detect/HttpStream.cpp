#include "HttpStream.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace korva::detect {

namespace {

#if defined(_WIN32)
using Socket = SOCKET;
using IoSize = int;
const Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { ::closesocket(s); }
bool SetNonBlocking(Socket s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
int PollOne(Socket s, short events, int ms) {
    WSAPOLLFD p{s, events, 0};
    return ::WSAPoll(&p, 1, ms);
}
bool ConnectPending() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
std::string SocketError() { return "socket error " + std::to_string(::WSAGetLastError()); }
struct NetworkInit {
    NetworkInit() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~NetworkInit() { ::WSACleanup(); }
};
void EnsureNetwork() { static NetworkInit init; }
#else
using Socket = int;
using IoSize = std::size_t;
const Socket kNoSocket = -1;
void CloseSocket(Socket s) { ::close(s); }
bool SetNonBlocking(Socket s) {
    const int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
int PollOne(Socket s, short events, int ms) {
    pollfd p{s, events, 0};
    return ::poll(&p, 1, ms);
}
bool ConnectPending() { return errno == EINPROGRESS; }
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
std::string SocketError() { return std::strerror(errno); }
void EnsureNetwork() {}
#endif

// Waits are cut in slices this long to look at the stop request.
constexpr int kSliceMs = 100;
constexpr std::size_t kMaxLineBytes = 8192;
constexpr int kMaxHeaders = 100;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string Base64(const std::string& s) {
    static const char* const kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 3) {
        auto byte = [&](std::size_t k) -> std::uint32_t { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
        const std::uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < s.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < s.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

// A header value's parameter (`boundary=...`), quotes removed.
std::string HeaderParameter(const std::string& value, const std::string& name) {
    const std::string lower = Lower(value);
    std::size_t at = 0;
    while ((at = lower.find(name + "=", at)) != std::string::npos) {
        if (at == 0 || lower[at - 1] == ';' || lower[at - 1] == ' ' || lower[at - 1] == '\t') break;
        ++at;
    }
    if (at == std::string::npos) return {};
    std::string v = value.substr(at + name.size() + 1);
    v = Trim(v.substr(0, v.find(';')));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& parts) {
    parts = UrlParts{};
    const std::size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return false;
    parts.scheme = Lower(url.substr(0, sep));
    std::string rest = url.substr(sep + 3);
    // The last '@': whatever a password holds stays in the user information.
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        parts.userInfo = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    std::size_t hostEnd = 0;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        hostEnd = close == std::string::npos ? rest.size() : close + 1;
        parts.host = rest.substr(1, (close == std::string::npos ? rest.size() : close) - 1);
    }
    const std::size_t authorityEnd = std::min(rest.size(), rest.find_first_of("/?#", hostEnd));
    if (parts.host.empty()) {
        const std::size_t colon = rest.find(':');
        hostEnd = std::min(authorityEnd, colon);
        parts.host = rest.substr(0, hostEnd);
    }
    if (hostEnd < authorityEnd && rest[hostEnd] == ':') parts.port = rest.substr(hostEnd + 1, authorityEnd - hostEnd - 1);
    parts.path = authorityEnd < rest.size() ? rest.substr(authorityEnd) : "/";
    if (parts.path[0] != '/') parts.path = "/" + parts.path;
    return true;
}

std::string UrlNameText(const UrlParts& parts) {
    std::string text = parts.host;
    if (!parts.port.empty()) text += ":" + parts.port;
    return text + parts.path.substr(0, parts.path.find_first_of("?#"));
}

HttpMjpegReader::~HttpMjpegReader() { Close(); }

void HttpMjpegReader::Close() {
    if (socket_ != -1) CloseSocket(static_cast<Socket>(socket_));
    socket_ = -1;
}

HttpMjpegReader::Got HttpMjpegReader::Fill(std::string& error) {
    if (ended_) return Got::kEnd;
    if (pos_ > 0 && pos_ >= buffer_.size() / 2) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    const Socket s = static_cast<Socket>(socket_);
    while (true) {
        if (stop_ && stop_()) {
            stopped_ = true;
            return Got::kEnd;
        }
        const int ready = PollOne(s, POLLIN, kSliceMs);
        if (ready > 0) {
            char chunk[65536];
            const auto n = ::recv(s, chunk, static_cast<IoSize>(sizeof chunk), 0);
            if (n > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(n));
                lastData_ = std::chrono::steady_clock::now();
                return Got::kData;
            }
            if (n == 0) {
                ended_ = true;
                return Got::kEnd;
            }
            if (!WouldBlock()) {
                error = label_ + ": reading failed: " + SocketError();
                return Got::kFailed;
            }
        } else if (ready < 0 && !WouldBlock()) {
            error = label_ + ": waiting for data failed: " + SocketError();
            return Got::kFailed;
        }
        const double silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastData_).count();
        if (silent >= stallSeconds_) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", stallSeconds_);
            error = label_ + " stalled: no data for " + seconds + " s after " + std::to_string(parts_) + " frames";
            return Got::kFailed;
        }
    }
}

HttpMjpegReader::Got HttpMjpegReader::ReadLine(std::string& line, std::string& error) {
    while (true) {
        const std::size_t nl = buffer_.find('\n', pos_);
        if (nl != std::string::npos) {
            line = buffer_.substr(pos_, nl - pos_);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pos_ = nl + 1;
            return Got::kData;
        }
        if (buffer_.size() - pos_ > kMaxLineBytes) {
            error = label_ + ": a header line longer than " + std::to_string(kMaxLineBytes) + " bytes";
            return Got::kFailed;
        }
        const Got got = Fill(error);
        if (got != Got::kData) return got;
    }
}

HttpMjpegReader::Opened HttpMjpegReader::Open(const UrlParts& url, const std::string& label, double stallSeconds,
                                              std::function<bool()> stop, std::string& error) {
    EnsureNetwork();
    label_ = label;
    stallSeconds_ = stallSeconds;
    stop_ = std::move(stop);
    lastData_ = std::chrono::steady_clock::now();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = url.port.empty() ? "80" : url.port;
    if (::getaddrinfo(url.host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "cannot open " + label_ + ": host not found";
        return Opened::kFailed;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a != nullptr && socket_ == -1; a = a->ai_next) {
        const Socket s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) continue;
        if (!SetNonBlocking(s)) {
            CloseSocket(s);
            continue;
        }
        bool connected = ::connect(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) == 0;
        if (!connected && ConnectPending()) {
            const auto start = std::chrono::steady_clock::now();
            while (!(stop_ && stop_())) {
                const int ready = PollOne(s, POLLOUT, kSliceMs);
                if (ready > 0) {
                    int code = 0;
                    socklen_t size = sizeof code;
                    connected = ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size) == 0 &&
                                code == 0;
                    if (!connected) why = std::strerror(code);
                    break;
                }
                if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= stallSeconds_) {
                    why = "no answer";
                    break;
                }
            }
        } else if (!connected) {
            why = SocketError();
        }
        if (connected) {
            socket_ = static_cast<std::intptr_t>(s);
        } else {
            CloseSocket(s);
        }
    }
    ::freeaddrinfo(found);
    if (stop_ && stop_()) {
        stopped_ = true;
        error = "cannot open " + label_ + ": interrupted";
        return Opened::kFailed;
    }
    if (socket_ == -1) {
        error = "cannot open " + label_ + ": " + why;
        return Opened::kFailed;
    }

    std::string request = "GET " + url.path.substr(0, url.path.find('#')) + " HTTP/1.0\r\nHost: " + url.host +
                          (url.port.empty() ? "" : ":" + url.port) + "\r\nUser-Agent: korva-detect\r\n";
    if (!url.userInfo.empty()) request += "Authorization: Basic " + Base64(PercentDecode(url.userInfo)) + "\r\n";
    request += "Connection: close\r\n\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const auto n = ::send(static_cast<Socket>(socket_), request.data() + sent,
                              static_cast<IoSize>(request.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (WouldBlock()) {
            PollOne(static_cast<Socket>(socket_), POLLOUT, kSliceMs);
        } else {
            error = "cannot open " + label_ + ": " + SocketError();
            return Opened::kFailed;
        }
    }

    std::string line;
    const auto failed = [&](Got got) {
        if (got == Got::kEnd && error.empty()) error = "cannot open " + label_ + ": no answer";
        return Opened::kFailed;
    };
    Got got = ReadLine(line, error);
    if (got != Got::kData) return failed(got);
    if (line.rfind("HTTP/", 0) != 0 || line.find(' ') == std::string::npos) {
        error = "cannot open " + label_ + ": not an HTTP answer";
        return Opened::kFailed;
    }
    const std::string code = line.substr(line.find(' ') + 1, 3);
    std::string contentType;
    for (int n = 0;; ++n) {
        got = ReadLine(line, error);
        if (got != Got::kData) return failed(got);
        if (line.empty()) break;
        if (n >= kMaxHeaders) {
            error = "cannot open " + label_ + ": too many header lines";
            return Opened::kFailed;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && Lower(Trim(line.substr(0, colon))) == "content-type") {
            contentType = Trim(line.substr(colon + 1));
        }
    }
    if (code != "200") {
        error = "cannot open " + label_ + ": the server answered HTTP " + code;
        return Opened::kFailed;
    }
    if (Lower(contentType).rfind("multipart/x-mixed-replace", 0) != 0) {
        Close();
        return Opened::kNotMjpeg;
    }
    const std::string boundary = HeaderParameter(contentType, "boundary");
    if (boundary.empty()) {
        error = "cannot open " + label_ + ": multipart answer without a boundary";
        return Opened::kFailed;
    }
    marker_ = boundary.rfind("--", 0) == 0 ? boundary : "--" + boundary;
    return Opened::kMjpeg;
}

bool HttpMjpegReader::NextImage(std::vector<unsigned char>& bytes, std::string& error) {
    error.clear();
    bytes.clear();
    std::string line;
    // The delimiter line; anything before it is skipped, within the bound.
    std::size_t skipped = 0;
    while (true) {
        const Got got = ReadLine(line, error);
        if (got != Got::kData) return false;  // the end between parts is a normal end
        if (line.rfind(marker_, 0) == 0) {
            if (line.compare(marker_.size(), 2, "--") == 0) return false;
            break;
        }
        skipped += line.size() + 1;
        if (skipped > kMaxImageBytes) {
            error = label_ + ": no part delimiter in " + std::to_string(kMaxImageBytes >> 20) + " MiB";
            return false;
        }
    }
    std::int64_t length = -1;
    for (int n = 0;; ++n) {
        const Got got = ReadLine(line, error);
        if (got == Got::kFailed) return false;
        if (got == Got::kEnd) {
            if (!stopped_) error = label_ + " ended inside part " + std::to_string(parts_ + 1);
            return false;
        }
        if (line.empty()) break;
        if (n >= kMaxHeaders) {
            error = label_ + ": too many header lines in part " + std::to_string(parts_ + 1);
            return false;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || Lower(Trim(line.substr(0, colon))) != "content-length") continue;
        const std::string value = Trim(line.substr(colon + 1));
        const bool digits = !value.empty() && value.size() <= 18 &&
                            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        length = digits ? std::stoll(value) : static_cast<std::int64_t>(kMaxImageBytes) + 1;
        if (length > static_cast<std::int64_t>(kMaxImageBytes)) {
            error = label_ + ": part " + std::to_string(parts_ + 1) + " announces " + value +
                    " bytes, over the " + std::to_string(kMaxImageBytes >> 20) + " MiB bound";
            return false;
        }
    }
    if (length >= 0) {
        while (buffer_.size() - pos_ < static_cast<std::size_t>(length)) {
            const Got got = Fill(error);
            if (got == Got::kFailed) return false;
            if (got == Got::kEnd) {
                if (!stopped_) error = label_ + " ended inside part " + std::to_string(parts_ + 1);
                return false;
            }
        }
        bytes.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                     buffer_.begin() + static_cast<std::ptrdiff_t>(pos_) + length);
        pos_ += static_cast<std::size_t>(length);
    } else {
        // No length: the part runs to the next delimiter.
        const std::string delimiter = "\n" + marker_;
        std::size_t from = pos_;
        std::size_t end = std::string::npos;
        while ((end = buffer_.find(delimiter, from)) == std::string::npos) {
            if (buffer_.size() - pos_ > kMaxImageBytes) {
                error = label_ + ": part " + std::to_string(parts_ + 1) + " is over the " +
                        std::to_string(kMaxImageBytes >> 20) + " MiB bound";
                return false;
            }
            from = buffer_.size() >= delimiter.size() ? std::max(pos_, buffer_.size() - delimiter.size()) : pos_;
            const std::size_t offset = pos_;
            const Got got = Fill(error);
            from -= offset - pos_;  // Fill may move the data to the front
            if (got == Got::kFailed) return false;
            if (got == Got::kEnd) {
                if (!stopped_) error = label_ + " ended inside part " + std::to_string(parts_ + 1);
                return false;
            }
        }
        std::size_t stop = end;
        if (stop > pos_ && buffer_[stop - 1] == '\r') --stop;
        bytes.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                     buffer_.begin() + static_cast<std::ptrdiff_t>(stop));
        pos_ = end + 1;  // the delimiter line is read by the next call
    }
    ++parts_;
    return true;
}

}  // namespace korva::detect
