// The fake WeChat API's server: routing, WeChat's answer shapes, injected faults and the records.
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

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace veltrano::testsupport {
namespace {

const std::string kTokenPath = endpoint::kToken;
const std::string kStableTokenPath = endpoint::kStableToken;
const std::string kTemplatePath = endpoint::kTemplateSend;
const std::string kCustomPath = endpoint::kCustomSend;
const std::string kUserGetPath = endpoint::kUserGet;
const std::string kUserInfoPath = endpoint::kUserInfo;
const std::string kBatchGetPath = endpoint::kBatchGet;
const std::string kCentralPath = "/central/token";

const char kServerErrorPage[] =
    "<html>\r\n<head><title>500 Internal Server Error</title></head>\r\n<body>\r\n"
    "<center><h1>500 Internal Server Error</h1></center>\r\n<hr><center>nginx</center>\r\n"
    "</body>\r\n</html>\r\n";
const char kNotFoundPage[] =
    "<html>\r\n<head><title>404 Not Found</title></head>\r\n<body>\r\n"
    "<center><h1>404 Not Found</h1></center>\r\n<hr><center>nginx</center>\r\n"
    "</body>\r\n</html>\r\n";

struct Answer {
    enum class Delivery { Whole, DropMidBody, CloseUnanswered, Endless };
    int status = 200;
    std::string contentType = "application/json; encoding=utf-8";
    std::string body;
    Delivery delivery = Delivery::Whole;
};

std::string utf8(const QString &text)
{
    return text.toStdString();
}

// A JSON string literal, UTF-8 kept as is (WeChat's own answers do not escape Chinese text).
std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// Query values decoded the way a form decoder does: '+' is a blank, then %XX escapes.
std::multimap<std::string, std::string> parseQuery(const std::string &target)
{
    std::multimap<std::string, std::string> values;
    const auto mark = target.find('?');
    if (mark == std::string::npos)
        return values;
    const std::string query = target.substr(mark + 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        std::string pair = query.substr(start, end - start);
        if (!pair.empty()) {
            for (char &c : pair)
                if (c == '+')
                    c = ' ';
            const auto eq = pair.find('=');
            const std::string key = pair.substr(0, eq);
            const std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
            values.emplace(QByteArray::fromPercentEncoding(QByteArray::fromStdString(key))
                               .toStdString(),
                           QByteArray::fromPercentEncoding(QByteArray::fromStdString(value))
                               .toStdString());
        }
        start = end + 1;
    }
    return values;
}

std::string queryValue(const std::multimap<std::string, std::string> &query, const std::string &key,
                       bool *present = nullptr)
{
    const auto it = query.find(key);
    if (present)
        *present = it != query.end();
    return it == query.end() ? std::string() : it->second;
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
    std::mt19937 random{std::random_device{}()};

    // token endpoint
    int tokenLifetime = 7200;
    bool credentialsSet = false;
    std::string appid, secret;
    bool staleOnIssue = false;
    bool refuseUntilIssue = false;
    std::unordered_set<std::string> staleTokens;
    std::vector<std::string> issuedTokens;
    int tokenSerial = 0;
    int tokenCalls = 0;
    // stable_token: one current token per account, on a clock of its own that tests move on
    std::string stableToken;
    long long stableIssuedAt = 0;
    long long stableClock = 0;
    long long lastForcedAt = 0;
    int stableSerial = 0;
    int stableCalls = 0;
    int forcedStableCalls = 0;
    int forcedRefreshes = 0;
    std::string lastStableBody;
    int centralCalls = 0;

    // sends
    long long nextMsgid = 3700000000000000001LL;
    std::vector<Send> sends;

    // followers
    bool explicitFollowers = false;
    std::vector<std::string> followerList;
    std::unordered_map<std::string, size_t> followerIndex;
    size_t generatedCount = 0;
    size_t pageSize = 10000;
    std::vector<InfoRequest> infoRequests;
    int userGetCalls = 0;
    std::unordered_map<std::string, bool> left; // openid -> refused in a batchget
    std::condition_variable wake;               // ends the delays when the fake shuts down
    bool stopping = false;

    // faults
    struct Rule {
        std::string path;
        int remaining;
        Fault fault;
    };
    std::deque<Rule> rules;
    int latencyMs = 0;

    std::vector<Request> requests;
    bool keep = true; // requests and sends kept, not only counted
    int sendTotal = 0;
    std::set<std::pair<std::string, int>> connections;

    // --- helpers, all called with the mutex held ---

    std::string rid()
    {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%08x-%08x-%08x", unsigned(random()),
                      unsigned(random()), unsigned(random()));
        return buffer;
    }

    std::string errorBody(int errcode, const std::string &errmsg)
    {
        std::string text = errmsg;
        if (errcode != 0)
            text += " rid: " + rid();
        return "{\"errcode\":" + std::to_string(errcode) + ",\"errmsg\":" + jsonString(text) + "}";
    }

    Answer errorAnswer(int errcode, const std::string &errmsg)
    {
        Answer a;
        a.body = errorBody(errcode, errmsg);
        return a;
    }

    size_t followerCount() const
    {
        return explicitFollowers ? followerList.size() : generatedCount;
    }

    std::string openidAt(size_t i) const
    {
        if (explicitFollowers)
            return followerList[i];
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "oFake%023zu", i + 1);
        return buffer;
    }

    // The follower's position, or -1 when the openid is not one of them.
    long long indexOf(const std::string &openid) const
    {
        if (explicitFollowers) {
            const auto it = followerIndex.find(openid);
            return it == followerIndex.end() ? -1 : static_cast<long long>(it->second);
        }
        if (openid.size() != 28 || openid.compare(0, 5, "oFake") != 0)
            return -1;
        size_t n = 0;
        for (size_t k = 5; k < openid.size(); ++k) {
            if (openid[k] < '0' || openid[k] > '9')
                return -1;
            n = n * 10 + size_t(openid[k] - '0');
        }
        return n >= 1 && n <= generatedCount ? static_cast<long long>(n - 1) : -1;
    }

    std::string profile(size_t i) const
    {
        const std::string n = std::to_string(i + 1);
        return "{\"subscribe\":1,\"openid\":" + jsonString(openidAt(i))
               + ",\"nickname\":" + jsonString("粉丝" + n) + ",\"sex\":" + std::to_string(i % 3)
               + ",\"language\":\"zh_CN\",\"city\":\"深圳\",\"province\":\"广东\",\"country\":"
                 "\"中国\","
                 "\"headimgurl\":\"\",\"subscribe_time\":"
               + std::to_string(1700000000 + i)
               + ",\"remark\":\"\",\"groupid\":0,\"tagid_list\":[],"
                 "\"subscribe_scene\":\"ADD_SCENE_QR_CODE\",\"qr_scene\":0,\"qr_scene_str\":\"\"}";
    }

    static std::string leftProfile(const std::string &openid)
    {
        return "{\"subscribe\":0,\"openid\":" + jsonString(openid) + ",\"tagid_list\":[]}";
    }

    std::string issueToken()
    {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "91_FakeAccessToken%06d", ++tokenSerial);
        const std::string token = buffer;
        if (staleOnIssue)
            for (const std::string &earlier : issuedTokens)
                if (earlier != token)
                    staleTokens.insert(earlier);
        staleTokens.erase(token);
        issuedTokens.push_back(token);
        refuseUntilIssue = false;
        return token;
    }

    // An error answer when the request carries no usable token.
    bool tokenRefused(const std::string &token, bool present, Answer &answer)
    {
        if (!present || token.empty()) {
            answer = errorAnswer(41001, "access_token missing");
            return true;
        }
        if (refuseUntilIssue || staleTokens.count(token)) {
            answer =
                errorAnswer(40001, "invalid credential, access_token is invalid or not latest");
            return true;
        }
        return false;
    }

    bool takeFault(const std::string &path, Fault &fault)
    {
        for (auto it = rules.begin(); it != rules.end(); ++it) {
            if (it->path != "*" && it->path != path)
                continue;
            fault = it->fault;
            if (it->remaining > 0 && --it->remaining == 0)
                rules.erase(it);
            return true;
        }
        return false;
    }

    Answer token(const std::multimap<std::string, std::string> &query)
    {
        if (queryValue(query, "grant_type") != "client_credential")
            return errorAnswer(40002, "invalid grant_type");
        if (credentialsSet && queryValue(query, "appid") != appid)
            return errorAnswer(40013, "invalid appid");
        if (credentialsSet && queryValue(query, "secret") != secret)
            return errorAnswer(40125, "invalid appsecret");
        Answer a;
        a.body = "{\"access_token\":" + jsonString(issueToken())
                 + ",\"expires_in\":" + std::to_string(tokenLifetime) + "}";
        return a;
    }

    // WeChat's rules: the same token until five minutes before its end, a forced refresh replaces
    // it (the old one stops working) at most 20 times a day and not within 30 s of the previous
    // one, and /cgi-bin/token exchanges leave it alone (its tokens never enter issuedTokens).
    Answer stable(const std::string &body)
    {
        lastStableBody = body;
        QJsonParseError error;
        const QJsonObject request =
            QJsonDocument::fromJson(QByteArray::fromStdString(body), &error).object();
        if (error.error != QJsonParseError::NoError)
            return errorAnswer(47001, "data format error");
        if (request.value(QStringLiteral("grant_type")).toString()
            != QStringLiteral("client_credential"))
            return errorAnswer(40002, "invalid grant_type");
        const std::string id = utf8(request.value(QStringLiteral("appid")).toString());
        const std::string key = utf8(request.value(QStringLiteral("secret")).toString());
        if (credentialsSet && id != appid)
            return errorAnswer(40013, "invalid appid");
        if (credentialsSet && key != secret)
            return errorAnswer(40125, "invalid appsecret");
        const bool force = request.value(QStringLiteral("force_refresh")).toBool();
        const auto issue = [this] {
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "91_FakeStableToken%06d", ++stableSerial);
            stableToken = buffer;
            stableIssuedAt = stableClock;
            refuseUntilIssue = false;
        };
        if (force) {
            ++forcedStableCalls;
            if (forcedRefreshes >= 20)
                return errorAnswer(45009, "reach max api daily quota limit");
            if (stableToken.empty() || stableClock - lastForcedAt >= 30 || forcedRefreshes == 0) {
                if (!stableToken.empty())
                    staleTokens.insert(stableToken);
                issue();
                ++forcedRefreshes;
                lastForcedAt = stableClock;
            }
        } else if (stableToken.empty() || stableClock >= stableIssuedAt + tokenLifetime - 300) {
            issue();
        }
        Answer a;
        a.body = "{\"access_token\":" + jsonString(stableToken) + ",\"expires_in\":"
                 + std::to_string(stableIssuedAt + tokenLifetime - stableClock) + "}";
        return a;
    }

    Answer central()
    {
        Answer a;
        a.contentType = "text/plain; charset=utf-8";
        a.body = issueToken() + "\r\n";
        return a;
    }

    Answer send(const std::string &path, const std::multimap<std::string, std::string> &query,
                const std::string &body)
    {
        Answer a;
        bool present = false;
        const std::string token = queryValue(query, "access_token", &present);
        if (tokenRefused(token, present, a))
            return a;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return errorAnswer(47001, "data format error");
        if (path == kTemplatePath)
            a.body =
                "{\"errcode\":0,\"errmsg\":\"ok\",\"msgid\":" + std::to_string(nextMsgid++) + "}";
        else
            a.body = "{\"errcode\":0,\"errmsg\":\"ok\"}";
        return a;
    }

    Answer userGet(const std::multimap<std::string, std::string> &query)
    {
        Answer a;
        bool present = false;
        const std::string token = queryValue(query, "access_token", &present);
        if (tokenRefused(token, present, a))
            return a;
        const std::string next = queryValue(query, "next_openid");
        size_t start = 0;
        if (!next.empty()) {
            const long long at = indexOf(next);
            if (at < 0)
                return errorAnswer(40003, "invalid next_openid");
            start = size_t(at) + 1;
        }
        const size_t total = followerCount();
        const size_t count = start < total ? std::min(pageSize, total - start) : 0;
        std::string out =
            "{\"total\":" + std::to_string(total) + ",\"count\":" + std::to_string(count);
        if (count == 0) {
            // Past the end WeChat answers an empty page without "data".
            a.body = out + ",\"next_openid\":\"\"}";
            return a;
        }
        out.reserve(out.size() + count * 31 + 64);
        out += ",\"data\":{\"openid\":[";
        for (size_t i = start; i < start + count; ++i) {
            if (i > start)
                out += ',';
            out += jsonString(openidAt(i));
        }
        out += "]},\"next_openid\":" + jsonString(openidAt(start + count - 1)) + "}";
        a.body = std::move(out);
        return a;
    }

    Answer userInfo(const std::multimap<std::string, std::string> &query)
    {
        Answer a;
        bool present = false;
        const std::string token = queryValue(query, "access_token", &present);
        const std::string openid = queryValue(query, "openid");
        infoRequests.push_back(
            {QString::fromStdString(kUserInfoPath), {QString::fromStdString(openid)}});
        if (tokenRefused(token, present, a))
            return a;
        if (left.count(openid)) {
            a.body = leftProfile(openid);
            return a;
        }
        const long long at = indexOf(openid);
        if (at < 0)
            return errorAnswer(40003, "invalid openid");
        a.body = profile(size_t(at));
        return a;
    }

    Answer batchGet(const std::multimap<std::string, std::string> &query, const std::string &body)
    {
        Answer a;
        bool present = false;
        const std::string token = queryValue(query, "access_token", &present);
        InfoRequest record{QString::fromStdString(kBatchGetPath), {}};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body));
        const QJsonValue list = doc.object().value(QStringLiteral("user_list"));
        for (const QJsonValue &entry : list.toArray())
            record.openids << entry.toObject().value(QStringLiteral("openid")).toString();
        infoRequests.push_back(record);
        if (tokenRefused(token, present, a))
            return a;
        if (!doc.isObject() || !list.isArray())
            return errorAnswer(47001, "data format error");
        if (record.openids.isEmpty() || record.openids.size() > 100)
            return errorAnswer(40032, "invalid openid list size");
        std::string out = "{\"user_info_list\":[";
        for (qsizetype i = 0; i < record.openids.size(); ++i) {
            const std::string openid = utf8(record.openids[i]);
            const auto gone = left.find(openid);
            if (gone != left.end() && gone->second)
                return errorAnswer(40003, "invalid openid");
            const long long at = gone == left.end() ? indexOf(openid) : 0;
            if (at < 0)
                return errorAnswer(40003, "invalid openid");
            if (i > 0)
                out += ',';
            out += gone == left.end() ? profile(size_t(at)) : leftProfile(openid);
        }
        a.body = out + "]}";
        return a;
    }

    Answer route(const httplib::Request &req, const std::multimap<std::string, std::string> &query,
                 const std::string &body)
    {
        if (req.path == kTokenPath)
            return token(query);
        if (req.path == kCentralPath)
            return central();
        if (req.path == kStableTokenPath)
            return stable(body);
        if (req.path == kTemplatePath || req.path == kCustomPath)
            return send(req.path, query, body);
        if (req.path == kUserGetPath)
            return userGet(query);
        if (req.path == kUserInfoPath)
            return userInfo(query);
        if (req.path == kBatchGetPath)
            return batchGet(query, body);
        Answer a;
        a.status = 404;
        a.contentType = "text/html";
        a.body = kNotFoundPage;
        return a;
    }

    // Notes the request and hands back the fault it is to get, if any.
    std::optional<Fault> arrive(const httplib::Request &req)
    {
        Request record{QString::fromStdString(req.method),
                       QString::fromStdString(req.target),
                       QString::fromStdString(req.path),
                       {},
                       req.remote_port};
        for (const auto &[name, value] : req.headers)
            record.headers.emplace_back(QString::fromStdString(name),
                                        QString::fromStdString(value));
        if (keep)
            requests.push_back(std::move(record));
        connections.emplace(req.remote_addr, req.remote_port);
        if (req.path == kTokenPath)
            ++tokenCalls;
        else if (req.path == kCentralPath)
            ++centralCalls;
        else if (req.path == kStableTokenPath)
            ++stableCalls;
        else if (req.path == kUserGetPath)
            ++userGetCalls;
        Fault fault;
        if (!takeFault(req.path, fault))
            return std::nullopt;
        return fault;
    }

    // The endpoint's own answer, or what the fault makes of it.
    Answer answerFor(const httplib::Request &req,
                     const std::multimap<std::string, std::string> &query, const std::string &body,
                     const std::optional<Fault> &fault)
    {
        using Kind = Fault::Kind;
        if (!fault || fault->kind == Kind::Delay)
            return route(req, query, body);
        Answer answer;
        switch (fault->kind) {
        case Kind::ErrorAnswer: return errorAnswer(fault->errcode, utf8(fault->text));
        case Kind::Text: answer.body = utf8(fault->text); return answer;
        case Kind::ServerError:
            answer.status = 500;
            answer.contentType = "text/html";
            answer.body = kServerErrorPage;
            return answer;
        case Kind::Drop: answer.delivery = Answer::Delivery::DropMidBody; return answer;
        case Kind::CloseAfterBody:
            answer.delivery = Answer::Delivery::CloseUnanswered;
            return answer;
        case Kind::Endless: answer.delivery = Answer::Delivery::Endless; return answer;
        case Kind::StrayBytes:
            answer = route(req, query, body);
            answer.body += utf8(fault->text);
            return answer;
        case Kind::Delay: break;
        }
        return answer;
    }

    void recordSend(const httplib::Request &req,
                    const std::multimap<std::string, std::string> &query, const std::string &body,
                    const Answer &answer)
    {
        ++sendTotal;
        if (keep)
            sends.push_back({QString::fromStdString(req.path),
                             QString::fromStdString(queryValue(query, "access_token")),
                             QByteArray::fromStdString(body), QString::fromStdString(answer.body)});
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
        std::lock_guard lock(mutex);
        return stopping;
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
        const auto query = parseQuery(req.target);
        std::optional<Fault> fault;
        int latency = 0;
        {
            std::lock_guard lock(mutex);
            fault = arrive(req);
            latency = latencyMs + (fault && fault->kind == Fault::Kind::Delay ? fault->delayMs : 0);
        }
        if (latency > 0)
            pause(latency);
        Answer answer;
        {
            std::lock_guard lock(mutex);
            answer = answerFor(req, query, body, fault);
            if (req.path == kTemplatePath || req.path == kCustomPath)
                recordSend(req, query, body, answer);
        }
        respond(req, res, answer);
    }
};

FakeWeChat::FakeWeChat() : FakeWeChat(0) {}

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

    if (port == 0) {
        d->port = d->server.bind_to_any_port("127.0.0.1");
        if (d->port <= 0)
            throw std::runtime_error("the fake WeChat API could not bind a port on 127.0.0.1");
    } else {
        if (!d->server.bind_to_port("127.0.0.1", port))
            throw std::runtime_error("the fake WeChat API could not bind port "
                                     + std::to_string(port));
        d->port = port;
    }
    ::listen(d->listening, SOMAXCONN);
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
    // stop() only acts on a running server, so the destructor needs the loop to have started.
    while (!d->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeWeChat::~FakeWeChat()
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->server.stop();
    d->thread.join();
}

int FakeWeChat::port() const
{
    return d->port;
}

QString FakeWeChat::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(d->port);
}

QString FakeWeChat::centralServerUrl() const
{
    return base() + QString::fromStdString(kCentralPath);
}

void FakeWeChat::setTokenLifetime(int seconds)
{
    std::lock_guard lock(d->mutex);
    d->tokenLifetime = seconds;
}

void FakeWeChat::setCredentials(const QString &appid, const QString &secret)
{
    std::lock_guard lock(d->mutex);
    d->credentialsSet = true;
    d->appid = utf8(appid);
    d->secret = utf8(secret);
}

void FakeWeChat::setStaleOnIssue(bool on)
{
    std::lock_guard lock(d->mutex);
    d->staleOnIssue = on;
}

void FakeWeChat::refuseCurrentTokenOnce()
{
    std::lock_guard lock(d->mutex);
    d->refuseUntilIssue = true;
}

int FakeWeChat::tokenCalls() const
{
    std::lock_guard lock(d->mutex);
    return d->tokenCalls;
}

QString FakeWeChat::lastIssuedToken() const
{
    std::lock_guard lock(d->mutex);
    return d->issuedTokens.empty() ? QString() : QString::fromStdString(d->issuedTokens.back());
}

QString FakeWeChat::stableToken() const
{
    std::lock_guard lock(d->mutex);
    return QString::fromStdString(d->stableToken);
}

int FakeWeChat::stableTokenCalls() const
{
    std::lock_guard lock(d->mutex);
    return d->stableCalls;
}

int FakeWeChat::forcedStableCalls() const
{
    std::lock_guard lock(d->mutex);
    return d->forcedStableCalls;
}

QByteArray FakeWeChat::lastStableTokenBody() const
{
    std::lock_guard lock(d->mutex);
    return QByteArray::fromStdString(d->lastStableBody);
}

void FakeWeChat::advanceStableClock(int seconds)
{
    std::lock_guard lock(d->mutex);
    d->stableClock += seconds;
}

int FakeWeChat::centralCalls() const
{
    std::lock_guard lock(d->mutex);
    return d->centralCalls;
}

std::vector<FakeWeChat::Send> FakeWeChat::sends() const
{
    std::lock_guard lock(d->mutex);
    return d->sends;
}

int FakeWeChat::sendCount() const
{
    std::lock_guard lock(d->mutex);
    return d->sendTotal;
}

void FakeWeChat::setKeepRequests(bool keep)
{
    std::lock_guard lock(d->mutex);
    d->keep = keep;
}

void FakeWeChat::setFollowerCount(int count)
{
    std::lock_guard lock(d->mutex);
    d->explicitFollowers = false;
    d->followerList.clear();
    d->followerIndex.clear();
    d->generatedCount = size_t(std::max(count, 0));
}

void FakeWeChat::setFollowers(const QStringList &openids)
{
    std::lock_guard lock(d->mutex);
    d->explicitFollowers = true;
    d->followerList.clear();
    d->followerIndex.clear();
    for (const QString &openid : openids) {
        d->followerIndex.emplace(utf8(openid), d->followerList.size());
        d->followerList.push_back(utf8(openid));
    }
}

QStringList FakeWeChat::followers() const
{
    std::lock_guard lock(d->mutex);
    QStringList list;
    const size_t count = d->followerCount();
    list.reserve(qsizetype(count));
    for (size_t i = 0; i < count; ++i)
        list << QString::fromStdString(d->openidAt(i));
    return list;
}

void FakeWeChat::setPageSize(int size)
{
    std::lock_guard lock(d->mutex);
    d->pageSize = size_t(std::max(size, 1));
}

void FakeWeChat::setLeft(const QString &openid, bool refusedInBatch)
{
    std::lock_guard lock(d->mutex);
    d->left[utf8(openid)] = refusedInBatch;
}

std::vector<FakeWeChat::InfoRequest> FakeWeChat::infoRequests() const
{
    std::lock_guard lock(d->mutex);
    return d->infoRequests;
}

int FakeWeChat::userGetCalls() const
{
    std::lock_guard lock(d->mutex);
    return d->userGetCalls;
}

void FakeWeChat::failNext(const QString &path, int count, const Fault &fault)
{
    if (count == 0)
        return;
    std::lock_guard lock(d->mutex);
    d->rules.push_back({utf8(path), count, fault});
}

void FakeWeChat::clearFaults()
{
    std::lock_guard lock(d->mutex);
    d->rules.clear();
}

void FakeWeChat::setLatency(int ms)
{
    std::lock_guard lock(d->mutex);
    d->latencyMs = std::max(ms, 0);
}

std::vector<FakeWeChat::Request> FakeWeChat::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

int FakeWeChat::requestCount(const QString &path) const
{
    std::lock_guard lock(d->mutex);
    int count = 0;
    for (const Request &request : d->requests)
        if (request.path == path)
            ++count;
    return count;
}

int FakeWeChat::connectionCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->connections.size());
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
