// The station database: opening it, a file or a server, where a file lives
// by default, and the SHA-256 that names an image.
#include "station/station.h"

#include "station/database.h"
#include "station/spool.h"
#include "station/store_postgres.h"
#include "station/store_sqlite.h"

#include <nettle/sha2.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace station {

static std::string host_name()
{
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0)
        return "";
    name[HOST_NAME_MAX] = '\0';
    return name;
}

bool is_server(const std::string &database)
{
    Database decided;
    return decide_database(database, decided).ok() && decided.server;
}

Station::Station() : host_(host_name()), station_(host_) {}
Station::~Station() = default;

// A server's schema is made by station init alone: a station's role need
// not be allowed to make tables, and a line's stations must not race to.
Result Station::open_locked(const std::string &given, bool upgrade)
{
    store_.reset();
    together_ = false;
    pending_.clear();
    seen_.clear();
    sent_ = 0;
    Database database;
    Result opened = decide_database(given, database);
    if (!opened.ok())
        return opened;
    if (database.server) {
        auto server = std::make_unique<PostgresStore>();
        opened = server->open(database.value, upgrade ? PostgresStore::Use::Upgrade : PostgresStore::Use::Write);
        store_ = std::move(server);
    } else {
        auto file = std::make_unique<SqliteStore>(&on_busy_);
        opened = file->open(database.value);
        store_ = std::move(file);
    }
    if (!opened.ok()) {
        store_.reset();
        return opened;
    }
    together_ = store_->statement_is_transaction();
    std::size_t sent = 0;
    const Result spooled = send_spool(sent, nullptr);
    return spooled.status == Status::Unreachable ? spooled : Result{};
}

struct Station::Waiting {
    const Make *make;
    const Then *then;
    Result result;
    bool done = false;
};

Result Station::together(const Make &make, const Then &then)
{
    if (!together_) {
        std::lock_guard<std::mutex> lock(mutex_);
        return then(nullptr);
    }
    Waiting mine{&make, &then, {}};
    std::unique_lock<std::mutex> waiting(waiting_lock_);
    waiting_.push_back(&mine);
    while (!mine.done) {
        if (sending_) {
            trip_done_.wait(waiting);
            continue;
        }
        sending_ = true;
        std::vector<Waiting *> calls;
        calls.swap(waiting_);
        waiting.unlock();
        trip(calls);
        waiting.lock();
        for (Waiting *call : calls)
            call->done = true;
        sending_ = false;
        trip_done_.notify_all();
    }
    return mine.result;
}

void Station::trip(const std::vector<Waiting *> &calls)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t sent = 0;
    const bool there = store_ && reconnect(sent).ok();
    std::vector<std::unique_ptr<Query>> statements(calls.size());
    std::vector<Query *> pipeline;
    for (std::size_t i = 0; i < calls.size() && there; ++i) {
        statements[i] = (*calls[i]->make)(*store_);
        if (statements[i])
            pipeline.push_back(statements[i].get());
    }
    if (there)
        store_->run_together(pipeline);
    for (std::size_t i = 0; i < calls.size(); ++i)
        calls[i]->result = (*calls[i]->then)(std::move(statements[i]));
}

Result Station::open(const std::string &database)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_locked(database, false);
}

Result Station::init(const std::string &database)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_locked(database, true);
}

Result Station::open_to_read(const std::string &given, std::string &warning)
{
    std::lock_guard<std::mutex> lock(mutex_);
    store_.reset();
    together_ = false;
    pending_.clear();
    seen_.clear();
    warning.clear();
    Database database;
    Result opened = decide_database(given, database);
    if (!opened.ok())
        return opened;
    if (database.server) {
        auto server = std::make_unique<PostgresStore>();
        opened = server->open(database.value, PostgresStore::Use::Read);
        store_ = std::move(server);
    } else {
        auto file = std::make_unique<SqliteStore>(&on_busy_);
        opened = file->open_to_read(database.value, warning);
        store_ = std::move(file);
    }
    if (!opened.ok())
        store_.reset();
    return opened;
}

Result Station::open_default()
{
    std::string path;
    const Result found = default_path(path);
    if (!found.ok())
        return found;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error)
        return {Status::CannotOpen, "cannot create the directory of " + escaped(path) + ": " + error.message()};
    return open(path);
}

std::string Station::path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return store_ ? store_->name() : "";
}

int Station::schema_version() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return store_ ? store_->schema : 0;
}

void Station::name_station(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    station_ = name.empty() ? host_ : name;
}

void Station::on_busy(std::function<void()> waiting)
{
    std::lock_guard<std::mutex> lock(mutex_);
    on_busy_ = std::move(waiting);
}

Result Station::reachable(std::size_t &sent)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sent = 0;
    if (!store_)
        return not_open();
    return reconnect(sent);
}

// Callers hold mutex_.
Result Station::reconnect(std::size_t &sent)
{
    auto *server = dynamic_cast<PostgresStore *>(store_.get());
    if (server == nullptr || !server->lost())
        return {};
    const Result connected = server->reconnect();
    return connected.ok() ? send_spool(sent, nullptr) : connected;
}

Result Station::sync(std::size_t &sent, std::size_t &left)
{
    std::size_t kept = 0;
    return sync(sent, left, kept);
}

Result Station::sync(std::size_t &sent, std::size_t &left, std::size_t &kept)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sent = left = kept = 0;
    if (!store_)
        return not_open();
    return send_spool(sent, &left, &kept);
}

std::string Station::spool_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return spool_ ? escaped(spool_->path()) : "";
}

std::string Station::spool_trouble() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return spool_trouble_;
}

// Callers hold mutex_. Only a server has a spool. A spool that cannot be
// read is said by sync alone; elsewhere it is kept as trouble, and the
// board goes on.
Result Station::send_spool(std::size_t &sent, std::size_t *left, std::size_t *kept)
{
    auto *server = dynamic_cast<PostgresStore *>(store_.get());
    if (server == nullptr)
        return {};
    if (!spool_)
        spool_ = std::make_unique<Spool>();
    const Result sending = spool_->send(*server, sent, left, kept);
    sent_ += sent;
    if (sending.status != Status::CannotOpen || kept != nullptr)
        return sending;
    if (spool_trouble_.empty())
        spool_trouble_ = sending.message;
    return {};
}

std::size_t Station::sent() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

const char *transport_word(Transport transport)
{
    return transport == Transport::Uart ? "uart" : "usb";
}

Result default_path(std::string &path)
{
    const Result found = state_folder(path);
    if (found.ok())
        path += "/station.sqlite";
    return found;
}

Result state_folder(std::string &path)
{
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/')
        path = state;
    else if (home != nullptr && home[0] != '\0')
        path = std::string(home) + "/.local/state";
    else
        return {Status::CannotOpen, "neither XDG_STATE_HOME nor HOME is set: give the station database's path"};
    path += "/kestrane";
    return {};
}

// Nettle: three plain calls in a small library, where OpenSSL 3 deprecates
// its plain SHA-256 functions in favour of the EVP interface.
std::string sha256_hex(const std::uint8_t *data, std::size_t size)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, size, data);
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : digest) {
        hex += DIGITS[byte >> 4];
        hex += DIGITS[byte & 0xF];
    }
    return hex;
}

}  // namespace station
