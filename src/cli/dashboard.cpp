// kestrane-cli dashboard: the page of the line and its JSON over HTTP,
// read-only, through Debian's cpp-httplib. Safe by default: this host alone
// unless told otherwise, GET and HEAD alone, names shown as text by the
// page's own script (page.js), no script but the page's own, and a token on
// every request when one is given.
#include "cli/commands.h"
#include "cli/dashboard_data.h"
#include "cli/dashboard_page.h"
#include "cli/json_text.h"

#include <sysexits.h>

#ifdef KESTRANE_DASHBOARD
#include <httplib.h>
#include <nettle/memops.h>
#include <nettle/sha2.h>

#include <malloc.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#endif

namespace cli {

#ifndef KESTRANE_DASHBOARD

int dashboard(const Options &)
{
    complain("this kestrane-cli was built without cpp-httplib (Debian's libcpp-httplib-dev), so it has no "
             "dashboard; history --html FILE writes the same page to a file");
    return EX_UNAVAILABLE;
}

#else

namespace {

const std::size_t LIMIT_MOST = 100000;  // attempts one request may ask for
const auto FRESH = std::chrono::milliseconds(900);  // a page's figures, shared by the requests that come within
const char COOKIE[] = "kestrane_token";

// Where to listen: "[::1]:8080" as well as "127.0.0.1:8080".
void split_listen(const std::string &listen, std::string &host, int &port)
{
    const std::size_t colon = listen.rfind(':');
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = std::stoi(listen.substr(colon + 1));
}

bool loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Whether the address can be listened on: 0, or the exit status with the
// reason. httplib says only that it could not.
int can_listen(const std::string &host, int port, std::string &error)
{
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    const int looked = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked != 0) {
        error = "cannot listen on " + host + ": " + gai_strerror(looked);
        return EX_NOHOST;
    }
    const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const int bound = fd < 0 ? -1 : bind(fd, found->ai_addr, found->ai_addrlen);
    const int why = errno;
    if (fd >= 0)
        close(fd);
    freeaddrinfo(found);
    if (bound == 0)
        return 0;
    error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(why);
    return why == EADDRINUSE ? EX_TEMPFAIL : why == EACCES ? EX_NOPERM : EX_UNAVAILABLE;
}

std::string digest_of(const std::string &text)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, text.size(), reinterpret_cast<const std::uint8_t *>(text.data()));
    std::string digest(SHA256_DIGEST_SIZE, '\0');
    sha256_digest(&context, digest.size(), reinterpret_cast<std::uint8_t *>(&digest[0]));
    return digest;
}

std::string hex_of(const std::string &bytes)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
        hex += std::string{DIGITS[c >> 4], DIGITS[c & 15]};
    return hex;
}

// The token a request carries: its Authorization header's, its query's, or
// the cookie the page was given with it.
std::string token_of(const httplib::Request &request, bool &from_query)
{
    from_query = false;
    const std::string authorization = request.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0)
        return authorization.substr(7);
    if (request.has_param("token")) {
        from_query = true;
        return request.get_param_value("token");
    }
    const std::string cookies = request.get_header_value("Cookie");
    const std::string name = std::string(COOKIE) + "=";
    for (std::size_t at = 0; at < cookies.size();) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::string cookie = cookies.substr(at, end - at);
        cookie.erase(0, cookie.find_first_not_of(' '));
        if (cookie.rfind(name, 0) == 0)
            return cookie.substr(name.size());  // the token's digest, in hex
        at = end + 1;
    }
    return "";
}

class Server {
public:
    Server(const Options &options, RecordReader &reader) : options_(options), reader_(reader)
    {
        if (!options.token.empty())
            token_digest_ = digest_of(options.token);
    }
    int serve(const std::string &host, int port);

private:
    bool allowed(const httplib::Request &request, httplib::Response &response) const;
    bool view_of(const httplib::Request &request, View &view, std::string &error) const;
    void answer_json(const httplib::Request &request, httplib::Response &response, const std::string &what);
    int read(const std::string &what, const View &view, std::string &body, std::string &error);

    const Options &options_;
    RecordReader &reader_;
    std::string token_digest_;
    std::string chart_js_;
    std::mutex mutex_;  // the page's figures as last read, shared by requests that come soon after
    std::string page_key_, page_;
    std::chrono::steady_clock::time_point page_read_;
};

// Every request carries the token, compared in constant time whatever its
// length: both sides' SHA-256. A good one in the query is kept as a cookie,
// for the page's own script and data.
bool Server::allowed(const httplib::Request &request, httplib::Response &response) const
{
    if (token_digest_.empty())
        return true;
    bool from_query = false;
    const std::string given = token_of(request, from_query);
    const bool cookie = !from_query && request.get_header_value("Authorization").empty();
    const std::string digest = cookie ? given : digest_of(given);
    const std::string wanted = cookie ? hex_of(token_digest_) : token_digest_;
    if (digest.size() == wanted.size() &&
        memeql_sec(digest.data(), wanted.data(), digest.size()) && !given.empty()) {
        if (from_query)
            response.set_header("Set-Cookie", std::string(COOKIE) + "=" + hex_of(token_digest_) +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
        return true;
    }
    response.status = 401;
    response.set_header("WWW-Authenticate", "Bearer");
    response.set_content("this dashboard needs its token: Authorization: Bearer TOKEN, or ?token=TOKEN\n",
                         "text/plain; charset=utf-8");
    return false;
}

bool Server::view_of(const httplib::Request &request, View &view, std::string &error) const
{
    view.filter.since = request.get_param_value("since");
    view.stations = options_.stations;
    if (request.has_param("station")) {
        view.stations.clear();
        for (std::size_t i = 0; i < request.get_param_value_count("station"); ++i) {
            const std::string name = request.get_param_value("station", i);
            if (options_.stations.empty() ||
                std::find(options_.stations.begin(), options_.stations.end(), name) != options_.stations.end())
                view.stations.push_back(name);
        }
        if (view.stations.empty())
            view.stations.push_back(std::string(1, '\0'));  // none of the stations shown: no attempt
    }
    if (request.has_param("limit")) {
        const std::string limit = request.get_param_value("limit");
        const bool digits = !limit.empty() && limit.size() <= 6 &&
                            limit.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(limit) > LIMIT_MOST) {
            error = "limit takes a whole number up to " + std::to_string(LIMIT_MOST);
            return false;
        }
        view.limit = std::stoul(limit);
    }
    return true;
}

int Server::read(const std::string &what, const View &view, std::string &body, std::string &error)
{
    Json out;
    int status = 0;
    if (what == "summary")
        status = reader_.summary(view, out, error);
    else if (what == "attempts")
        status = reader_.attempts(view, out, error);
    else if (what == "counters")
        status = reader_.counters(out, error);
    else
        status = reader_.page(view, utc_now(), out, error);
    if (status == 0)
        body = json_text(out);
    return status;
}

void Server::answer_json(const httplib::Request &request, httplib::Response &response, const std::string &what)
{
    View view;
    std::string error, body;
    if (!view_of(request, view, error)) {
        response.status = 400;
        response.set_content(json_text(Json{{"error", error}}), "application/json");
        return;
    }
    const std::string key = what + '\n' + view.filter.since + '\n' + std::to_string(view.limit) + '\n' +
                            json_text(Json(view.stations));
    std::lock_guard<std::mutex> hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (key == page_key_ && now - page_read_ < FRESH) {
        body = page_;
    } else if (const int status = read(what, view, body, error); status == 0) {
        page_key_ = key, page_ = body, page_read_ = now;
    } else {
        // A filter that is not one (?since=yesterday) is the request's
        // fault; anything else, the record's.
        response.status = status == EX_USAGE ? 400 : 503;
        body = json_text(Json{{"error", error}});
    }
    // A read of the record is large and brief: what it freed goes back to
    // the system now, so that memory stays flat over a day of polls.
    malloc_trim(0);
    response.set_content(body, "application/json");
}

int Server::serve(const std::string &host, int port)
{
    std::string error;
    if (!read_chart_js(chart_js_, error))
        complain("warning: " + error);
    httplib::Server server;
    server.set_payload_max_length(0);
    server.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        response.set_header("Content-Security-Policy", SERVED_POLICY);
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("Cache-Control", "no-store");
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("only GET and HEAD: the dashboard only reads\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        return allowed(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                          : httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/api/(page|summary|attempts|counters)",
               [this](const httplib::Request &request, httplib::Response &response) {
                   answer_json(request, response, request.matches[1]);
               });
    server.Get("/chart.js", [this](const httplib::Request &, httplib::Response &response) {
        if (chart_js_.empty())
            response.status = 404;
        else
            response.set_content(chart_js_, "text/javascript; charset=utf-8");
    });
    server.Get("/(|page\\.js|page\\.css)", [](const httplib::Request &request, httplib::Response &response) {
        std::string body, type;
        served_file(request.path, body, type);
        response.set_content(body, type.c_str());
    });
    if (!server.bind_to_port(host, port)) {
        complain("cannot listen on " + options_.listen);
        return EX_TEMPFAIL;
    }
    std::cout << "the dashboard of " << reader_.path() << " is at http://" << options_.listen << "/" << std::endl;
    return server.listen_after_bind() ? 0 : EX_SOFTWARE;
}

}  // namespace

int dashboard(const Options &options)
{
    std::string host, error;
    int port = 0;
    split_listen(options.listen, host, port);
    RecordReader reader;
    int status = reader.open(options, error);
    Json counters;  // read once now, so that a record that cannot be read is said at once
    if (status == 0)
        status = reader.counters(counters, error, false);
    if (status == 0)
        status = can_listen(host, port, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    if (!loopback(host))
        complain("warning: the dashboard listens on " + options.listen + ", which other hosts may reach: " +
                 (options.token.empty() ? "whoever reaches it reads the record (--token TOKEN asks for a token)"
                                        : "each request must carry the token"));
    // One arena for all of the server's threads, rather than one each that
    // would each keep a read of the record's worth: memory stays flat
    // whichever thread answers a poll.
    mallopt(M_ARENA_MAX, 1);
    Server server(options, reader);
    return server.serve(host, port);
}

#endif

}  // namespace cli
