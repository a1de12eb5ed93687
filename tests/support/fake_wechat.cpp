// The fake WeChat API's server: one handler per endpoint, the injected faults and the records.
#include "support/fake_wechat.h"

#include "core/http_client.h"

#include <httplib.h>
#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h> // on Windows the library brings Winsock's listen()
#endif

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace veltrano::testsupport {
namespace {

const std::string kCentralPath = "/central/token";

// Members after the body keep their defaults unless named.
struct Answer {
    enum class Delivery { Whole, DropMidBody, CloseUnanswered, Endless };
    std::string body{};
    Delivery delivery = Delivery::Whole;
    int status = 200;
    std::string contentType = "application/json; encoding=utf-8";
};

// The page nginx shows for an error status.
Answer page(int status, const std::string &title)
{
    return {"<html>\r\n<head><title>" + title + "</title></head>\r\n<body>\r\n<center><h1>" + title
                + "</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n",
            Answer::Delivery::Whole, status, "text/html"};
}

std::string utf8(const QString &text)
{
    return text.toStdString();
}

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

// Runs `use` on the fake's state with its mutex held and hands back what it returns.
template <typename State, typename Use>
auto locked(State &state, Use use)
{
    std::lock_guard lock(state.mutex);
    return use(state);
}

// A JSON string literal, UTF-8 kept as is (WeChat's own answers do not escape Chinese text).
std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

bool isSend(const std::string &path)
{
    return path == endpoint::kTemplateSend || path == endpoint::kCustomSend;
}

// The openids of a batchget body's user_list; nothing when the body holds no such list.
std::optional<QStringList> listedOpenids(const std::string &body)
{
    const QJsonValue list = QJsonDocument::fromJson(QByteArray::fromStdString(body))
                                .object()
                                .value(QStringLiteral("user_list"));
    if (!list.isArray())
        return std::nullopt;
    QStringList openids;
    for (const QJsonValue &entry : list.toArray())
        openids << entry.toObject().value(QStringLiteral("openid")).toString();
    return openids;
}

std::string tokenAnswer(const std::string &token, long long expiresIn)
{
    return "{\"access_token\":" + quoted(token) + ",\"expires_in\":" + std::to_string(expiresIn)
           + "}";
}

} // namespace

QStringList FakeWeChat::Request::header(const QString &name) const
{
    QStringList values;
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values << value;
    return values;
}

struct FakeWeChat::State {
    httplib::Server server;
    socket_t listening = INVALID_SOCKET;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    std::condition_variable wake; // ends the delays when the fake shuts down
    bool stopping = false;
    std::mt19937 random{std::random_device{}()};

    struct Rule {
        std::string path;
        int remaining; // -1: every request
        Fault fault;
    };
    std::deque<Rule> rules;
    int latencyMs = 0;

    // /cgi-bin/token and the central server
    int tokenLifetime = 7200;
    std::optional<std::pair<std::string, std::string>> credentials; // appid, secret
    bool staleOnIssue = false;
    bool refuseUntilIssue = false;
    std::vector<std::string> issued;
    std::set<std::string> stale;
    // stable_token: one current token, on a clock of its own that tests move on
    std::string stableToken;
    int stableSerial = 0;
    long long stableIssuedAt = 0, stableClock = 0, lastForcedAt = 0;
    int forcedCalls = 0, forcedRefreshes = 0;
    std::string lastStableBody;

    long long nextMsgid = 3700000000000000001LL;

    // followers: an explicit list, or `generated` openids made from their position
    std::optional<std::vector<std::string>> followerList;
    size_t generated = 0;
    size_t pageSize = 10000;
    std::set<std::string> left;

    bool keep = true;
    std::vector<Request> requests;
    std::vector<Send> sends;
    std::vector<InfoRequest> infoRequests;
    std::map<std::string, int> calls; // by path
    std::set<std::pair<std::string, int>> connections;

    // --- helpers, all called with the mutex held ---

    Answer error(int errcode, const std::string &errmsg)
    {
        char rid[48];
        std::snprintf(rid, sizeof rid, " rid: %08x-%08x-%08x", unsigned(random()),
                      unsigned(random()), unsigned(random()));
        return {"{\"errcode\":" + std::to_string(errcode) + ",\"errmsg\":" + quoted(errmsg + rid)
                + "}"};
    }

    size_t followerCount() const { return followerList ? followerList->size() : generated; }

    std::string openidAt(size_t i) const
    {
        if (followerList)
            return (*followerList)[i];
        char openid[32];
        std::snprintf(openid, sizeof openid, "oFake%023zu", i + 1);
        return openid;
    }

    // The follower's position, or -1 when the openid is not one of them.
    long long indexOf(const std::string &openid) const
    {
        if (followerList) {
            const auto it = std::find(followerList->begin(), followerList->end(), openid);
            return it == followerList->end() ? -1 : it - followerList->begin();
        }
        if (openid.size() != 28 || openid.compare(0, 5, "oFake") != 0)
            return -1;
        size_t n = 0;
        for (size_t k = 5; k < openid.size(); ++k) {
            if (openid[k] < '0' || openid[k] > '9' || n > generated)
                return -1;
            n = n * 10 + size_t(openid[k] - '0');
        }
        return n >= 1 && n <= generated ? static_cast<long long>(n - 1) : -1;
    }

    std::string profile(size_t i) const
    {
        return "{\"subscribe\":1,\"openid\":" + quoted(openidAt(i)) + ",\"nickname\":"
               + quoted("粉丝" + std::to_string(i + 1)) + ",\"sex\":" + std::to_string(i % 3)
               + ",\"language\":\"zh_CN\",\"city\":\"深圳\",\"province\":\"广东\",\"country\":"
                 "\"中国\",\"headimgurl\":\"\",\"subscribe_time\":"
               + std::to_string(1700000000 + i)
               + ",\"remark\":\"\",\"groupid\":0,\"tagid_list\":[],"
                 "\"subscribe_scene\":\"ADD_SCENE_QR_CODE\",\"qr_scene\":0,\"qr_scene_str\":\"\"}";
    }

    // What user/info and batchget tell of an openid, nothing when it is no follower's.
    std::optional<std::string> describe(const std::string &openid) const
    {
        if (left.count(openid))
            return "{\"subscribe\":0,\"openid\":" + quoted(openid) + ",\"tagid_list\":[]}";
        const long long at = indexOf(openid);
        return at < 0 ? std::nullopt : std::optional(profile(size_t(at)));
    }

    std::string issueToken()
    {
        if (staleOnIssue)
            stale.insert(issued.begin(), issued.end());
        char token[48];
        std::snprintf(token, sizeof token, "91_FakeAccessToken%06zu", issued.size() + 1);
        issued.emplace_back(token);
        refuseUntilIssue = false;
        return token;
    }

    // What both token endpoints answer to a wrong grant or account.
    std::optional<Answer> accountRefusal(const std::string &grant, const std::string &appid,
                                         const std::string &secret)
    {
        if (grant != "client_credential")
            return error(40002, "invalid grant_type");
        if (credentials && appid != credentials->first)
            return error(40013, "invalid appid");
        if (credentials && secret != credentials->second)
            return error(40125, "invalid appsecret");
        return std::nullopt;
    }

    // What an endpoint that needs a token answers to a request without a usable one.
    std::optional<Answer> tokenRefusal(const httplib::Request &req)
    {
        const std::string token = req.get_param_value("access_token");
        if (token.empty())
            return error(41001, "access_token missing");
        if (refuseUntilIssue || stale.count(token))
            return error(40001, "invalid credential, access_token is invalid or not latest");
        return std::nullopt;
    }

    // --- the endpoints ---

    Answer token(const httplib::Request &req)
    {
        if (auto refused =
                accountRefusal(req.get_param_value("grant_type"), req.get_param_value("appid"),
                               req.get_param_value("secret")))
            return *refused;
        return {tokenAnswer(issueToken(), tokenLifetime)};
    }

    // WeChat's rules: the same token until five minutes before its end, a forced refresh replaces
    // it (the old one stops working) at most 20 times a day and not within 30 s of the previous
    // one, and /cgi-bin/token exchanges leave it alone.
    Answer stable(const std::string &body)
    {
        lastStableBody = body;
        QJsonParseError parse;
        const QJsonObject request =
            QJsonDocument::fromJson(QByteArray::fromStdString(body), &parse).object();
        if (parse.error != QJsonParseError::NoError)
            return error(47001, "data format error");
        const auto member = [&](const char *name) {
            return utf8(request.value(QLatin1String(name)).toString());
        };
        if (auto refused = accountRefusal(member("grant_type"), member("appid"), member("secret")))
            return *refused;
        const bool force = request.value(QStringLiteral("force_refresh")).toBool();
        if (force)
            ++forcedCalls;
        if (force && forcedRefreshes >= 20)
            return error(45009, "reach max api daily quota limit");
        const bool renew = stableToken.empty()
                           || (force ? forcedRefreshes == 0 || stableClock - lastForcedAt >= 30
                                     : stableClock >= stableIssuedAt + tokenLifetime - 300);
        if (renew) {
            if (force) {
                stale.insert(stableToken);
                ++forcedRefreshes;
                lastForcedAt = stableClock;
            }
            char token[48];
            std::snprintf(token, sizeof token, "91_FakeStableToken%06d", ++stableSerial);
            stableToken = token;
            stableIssuedAt = stableClock;
            refuseUntilIssue = false;
        }
        return {tokenAnswer(stableToken, stableIssuedAt + tokenLifetime - stableClock)};
    }

    Answer central()
    {
        return {issueToken() + "\r\n", Answer::Delivery::Whole, 200, "text/plain; charset=utf-8"};
    }

    Answer send(const std::string &path, const std::string &body)
    {
        if (!QJsonDocument::fromJson(QByteArray::fromStdString(body)).isObject())
            return error(47001, "data format error");
        if (path == endpoint::kTemplateSend)
            return {"{\"errcode\":0,\"errmsg\":\"ok\",\"msgid\":" + std::to_string(nextMsgid++)
                    + "}"};
        return {"{\"errcode\":0,\"errmsg\":\"ok\"}"};
    }

    Answer userGet(const httplib::Request &req)
    {
        const std::string next = req.get_param_value("next_openid");
        size_t start = 0;
        if (!next.empty()) {
            const long long at = indexOf(next);
            if (at < 0)
                return error(40003, "invalid next_openid");
            start = size_t(at) + 1;
        }
        const size_t total = followerCount();
        const size_t count = start < total ? std::min(pageSize, total - start) : 0;
        std::string out =
            "{\"total\":" + std::to_string(total) + ",\"count\":" + std::to_string(count);
        if (count == 0) // past the end WeChat answers an empty page without "data"
            return {out + ",\"next_openid\":\"\"}"};
        out += ",\"data\":{\"openid\":[";
        for (size_t i = start; i < start + count; ++i)
            out += (i > start ? "," : "") + quoted(openidAt(i));
        return {out + "]},\"next_openid\":" + quoted(openidAt(start + count - 1)) + "}"};
    }

    Answer userInfo(const httplib::Request &req)
    {
        const auto described = describe(req.get_param_value("openid"));
        return described ? Answer{*described} : error(40003, "invalid openid");
    }

    Answer batchGet(const std::string &body)
    {
        const std::optional<QStringList> openids = listedOpenids(body);
        if (!openids)
            return error(47001, "data format error");
        if (openids->isEmpty() || openids->size() > 100)
            return error(40032, "invalid openid list size");
        std::string out = "{\"user_info_list\":[";
        for (qsizetype i = 0; i < openids->size(); ++i) {
            const auto described = describe(utf8(openids->at(i)));
            if (!described)
                return error(40003, "invalid openid");
            out += (i > 0 ? "," : "") + *described;
        }
        return {out + "]}"};
    }

    Answer route(const httplib::Request &req, const std::string &body)
    {
        const std::string &path = req.path;
        if (path == endpoint::kToken)
            return token(req);
        if (path == endpoint::kStableToken)
            return stable(body);
        if (path == kCentralPath)
            return central();
        if (!isSend(path) && path != endpoint::kUserGet && path != endpoint::kUserInfo
            && path != endpoint::kBatchGet)
            return page(404, "404 Not Found");
        if (auto refused = tokenRefusal(req))
            return *refused;
        if (isSend(path))
            return send(path, body);
        if (path == endpoint::kUserGet)
            return userGet(req);
        if (path == endpoint::kUserInfo)
            return userInfo(req);
        return batchGet(body);
    }

    // --- one request ---

    // Notes the request and hands back the fault it is to get, if any.
    std::optional<Fault> arrive(const httplib::Request &req, const std::string &body)
    {
        ++calls[req.path];
        connections.emplace(req.remote_addr, req.remote_port);
        if (keep) {
            Request record{text(req.method), text(req.target), text(req.path), {}};
            for (const auto &[name, value] : req.headers)
                record.headers.emplace_back(text(name), text(value));
            requests.push_back(std::move(record));
            if (req.path == endpoint::kUserInfo)
                infoRequests.push_back({text(req.path), {text(req.get_param_value("openid"))}});
            else if (req.path == endpoint::kBatchGet)
                infoRequests.push_back(
                    {text(req.path), listedOpenids(body).value_or(QStringList())});
        }
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            if (rule->path != req.path)
                continue;
            const Fault fault = rule->fault;
            if (rule->remaining > 0 && --rule->remaining == 0)
                rules.erase(rule);
            return fault;
        }
        return std::nullopt;
    }

    // The endpoint's own answer, or what the fault makes of it.
    Answer answerFor(const httplib::Request &req, const std::string &body,
                     const std::optional<Fault> &fault)
    {
        using Kind = Fault::Kind;
        switch (fault ? fault->kind : Kind::Delay) {
        case Kind::ErrorAnswer: return error(fault->errcode, utf8(fault->text));
        case Kind::Text: return {utf8(fault->text)};
        case Kind::ServerError: return page(500, "500 Internal Server Error");
        case Kind::Drop: return {{}, Answer::Delivery::DropMidBody};
        case Kind::CloseAfterBody: return {{}, Answer::Delivery::CloseUnanswered};
        case Kind::Endless: return {{}, Answer::Delivery::Endless};
        case Kind::StrayBytes: {
            Answer answer = route(req, body);
            answer.body += utf8(fault->text);
            return answer;
        }
        case Kind::Delay: break;
        }
        return route(req, body);
    }

    // Waits, cut short when the fake is shut down, so a test that abandoned a slow request does
    // not wait for it in the destructor.
    void pause(int ms)
    {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    bool isStopping()
    {
        return locked(*this, [](State &s) { return s.stopping; });
    }

    // Closes the connection the request came on before a byte of the answer is written, as a
    // server does that dies after reading a request.
    void closeConnection(const httplib::Request &req)
    {
#ifndef _WIN32
        for (int fd = 0; fd < 4096; ++fd) {
            sockaddr_in peer{}, local{};
            socklen_t size = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0
                || peer.sin_family != AF_INET)
                continue;
            size = sizeof local;
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0)
                continue;
            if (ntohs(peer.sin_port) == req.remote_port && ntohs(local.sin_port) == port) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
        }
#else
        (void)req;
#endif
    }

    void respond(const httplib::Request &req, httplib::Response &res, const Answer &answer)
    {
        res.status = answer.status;
        switch (answer.delivery) {
        case Answer::Delivery::Whole:
            res.set_content(answer.body, answer.contentType.c_str());
            return;
        case Answer::Delivery::CloseUnanswered:
            closeConnection(req);
            [[fallthrough]]; // where it cannot be closed unanswered, it is at least cut short
        case Answer::Delivery::DropMidBody:
            // Promise a body, then fail to write it: the client sees the connection close
            // mid-answer.
            res.set_content_provider(64, "application/json",
                                     [](size_t, size_t, httplib::DataSink &) { return false; });
            return;
        case Answer::Delivery::Endless:
            // A chunk every few milliseconds until the client gives up or the fake shuts down.
            res.set_chunked_content_provider("application/json", [this](size_t,
                                                                        httplib::DataSink &sink) {
                static const std::string chunk(64 * 1024, ' ');
                if (isStopping() || !sink.write(chunk.data(), chunk.size()))
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return true;
            });
            return;
        }
    }

    void handle(const httplib::Request &req, httplib::Response &res, const std::string &body)
    {
        std::optional<Fault> fault;
        int wait = 0;
        {
            std::lock_guard lock(mutex);
            fault = arrive(req, body);
            wait = latencyMs + (fault && fault->kind == Fault::Kind::Delay ? fault->delayMs : 0);
        }
        if (wait > 0)
            pause(wait);
        Answer answer;
        {
            std::lock_guard lock(mutex);
            answer = answerFor(req, body, fault);
            if (keep && isSend(req.path))
                sends.push_back({text(req.path), text(req.get_param_value("access_token")),
                                 QByteArray::fromStdString(body), text(answer.body)});
        }
        respond(req, res, answer);
    }
};

FakeWeChat::FakeWeChat(int port) : d(std::make_unique<State>())
{
    // Without it every kept-alive request waits for the peer's delayed acknowledgement (~40 ms).
    d->server.set_tcp_nodelay(true);
    d->server.set_keep_alive_max_count(1000000);
    // Each kept-alive connection holds a server thread: room for a batch's posts in flight, its
    // token client, an export's requests and a test's own client at once.
    d->server.new_task_queue = [] { return new httplib::ThreadPool(48); };
    // The library listens with a backlog of 5: the connections a batch opens at once (its posts in
    // flight and its token client) overflow it, and a refused connection attempt is only tried
    // again a second later. The socket is kept here to listen with a longer backlog once bound.
    d->server.set_socket_options([this](socket_t sock) {
        httplib::default_socket_options(sock);
        d->listening = sock;
    });
    d->server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
        d->handle(req, res, std::string());
    });
    // Bodies are read here rather than by the server: it would take a form-encoded body (which is
    // what the client declares) for form fields and refuse one above 8 KiB.
    d->server.Post(".*", [this](const httplib::Request &req, httplib::Response &res,
                                const httplib::ContentReader &reader) {
        std::string body;
        reader([&body](const char *data, size_t length) {
            body.append(data, length);
            return true;
        });
        d->handle(req, res, body);
    });

    d->port = port == 0 ? d->server.bind_to_any_port("127.0.0.1")
                        : (d->server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (d->port <= 0)
        throw std::runtime_error("the fake WeChat API could not bind "
                                 + (port ? "port " + std::to_string(port) : "a port")
                                 + " on 127.0.0.1");
    ::listen(d->listening, SOMAXCONN);
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
    // stop() only acts on a running server, so the destructor needs the loop to have started.
    while (!d->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeWeChat::~FakeWeChat()
{
    locked(*d, [](State &s) { s.stopping = true; });
    d->wake.notify_all();
    d->server.stop();
    d->thread.join();
}

QString FakeWeChat::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(d->port);
}

void FakeWeChat::failNext(const QString &path, int count, const Fault &fault)
{
    if (count != 0)
        locked(*d, [&](State &s) { s.rules.push_back({utf8(path), count, fault}); });
}

void FakeWeChat::clearFaults()
{
    locked(*d, [](State &s) { s.rules.clear(); });
}

void FakeWeChat::setLatency(int ms)
{
    locked(*d, [&](State &s) { s.latencyMs = std::max(ms, 0); });
}

void FakeWeChat::setTokenLifetime(int seconds)
{
    locked(*d, [&](State &s) { s.tokenLifetime = seconds; });
}

void FakeWeChat::setCredentials(const QString &appid, const QString &secret)
{
    locked(*d, [&](State &s) { s.credentials.emplace(utf8(appid), utf8(secret)); });
}

void FakeWeChat::setStaleOnIssue(bool on)
{
    locked(*d, [&](State &s) { s.staleOnIssue = on; });
}

void FakeWeChat::refuseCurrentTokenOnce()
{
    locked(*d, [](State &s) { s.refuseUntilIssue = true; });
}

QString FakeWeChat::lastIssuedToken() const
{
    return locked(*d,
                  [](State &s) { return s.issued.empty() ? QString() : text(s.issued.back()); });
}

QString FakeWeChat::stableToken() const
{
    return locked(*d, [](State &s) { return text(s.stableToken); });
}

int FakeWeChat::forcedStableCalls() const
{
    return locked(*d, [](State &s) { return s.forcedCalls; });
}

QByteArray FakeWeChat::lastStableTokenBody() const
{
    return locked(*d, [](State &s) { return QByteArray::fromStdString(s.lastStableBody); });
}

void FakeWeChat::advanceStableClock(int seconds)
{
    locked(*d, [&](State &s) { s.stableClock += seconds; });
}

void FakeWeChat::setFollowerCount(int count)
{
    locked(*d, [&](State &s) {
        s.followerList.reset();
        s.generated = size_t(std::max(count, 0));
    });
}

void FakeWeChat::setFollowers(const QStringList &openids)
{
    locked(*d, [&](State &s) {
        s.followerList.emplace();
        for (const QString &openid : openids)
            s.followerList->push_back(utf8(openid));
    });
}

QStringList FakeWeChat::followers() const
{
    return locked(*d, [](State &s) {
        QStringList list;
        for (size_t i = 0; i < s.followerCount(); ++i)
            list << text(s.openidAt(i));
        return list;
    });
}

void FakeWeChat::setPageSize(int size)
{
    locked(*d, [&](State &s) { s.pageSize = size_t(std::max(size, 1)); });
}

void FakeWeChat::setLeft(const QString &openid)
{
    locked(*d, [&](State &s) { s.left.insert(utf8(openid)); });
}

std::vector<FakeWeChat::InfoRequest> FakeWeChat::infoRequests() const
{
    return locked(*d, [](State &s) { return s.infoRequests; });
}

int FakeWeChat::requestCount(const QString &path) const
{
    return locked(*d, [&](State &s) {
        const auto it = s.calls.find(utf8(path));
        return it == s.calls.end() ? 0 : it->second;
    });
}

std::vector<FakeWeChat::Request> FakeWeChat::requests() const
{
    return locked(*d, [](State &s) { return s.requests; });
}

std::vector<FakeWeChat::Send> FakeWeChat::sends() const
{
    return locked(*d, [](State &s) { return s.sends; });
}

int FakeWeChat::connectionCount() const
{
    return locked(*d, [](State &s) { return int(s.connections.size()); });
}

void FakeWeChat::setKeepRequests(bool keep)
{
    locked(*d, [&](State &s) { s.keep = keep; });
}

ScopedApiBase::ScopedApiBase(const QString &base)
    : m_had(qEnvironmentVariableIsSet("VELTRANO_API_BASE")), m_old(qgetenv("VELTRANO_API_BASE"))
{
    qputenv("VELTRANO_API_BASE", base.toUtf8());
}

ScopedApiBase::~ScopedApiBase()
{
    if (m_had)
        qputenv("VELTRANO_API_BASE", m_old);
    else
        qunsetenv("VELTRANO_API_BASE");
}

} // namespace veltrano::testsupport
