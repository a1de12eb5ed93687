// A fake WeChat Official Account API: a real HTTP server on 127.0.0.1 for tests, the demo and
// benchmarks.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace veltrano::testsupport {

// Serves the endpoints the program calls, with WeChat's answer shapes, and records what it was
// sent. Starts listening in its constructor (on its own thread) and stops in its destructor. Every
// member may be called from any thread while it runs.
//
// Tokens: any token is accepted for a send unless it has been made stale. Each call to the token
// endpoint issues a new token text; the stable-token endpoint keeps one token as WeChat does.
// Destroy HttpClients that talk to it before the fake itself: an idle kept-alive connection holds
// the server's worker until it times out (5 s).
class FakeWeChat {
public:
    // What a request to a path gets instead of (or besides) its normal answer.
    struct Fault {
        enum class Kind {
            ErrorAnswer,    // HTTP 200 with {"errcode":…,"errmsg":"… rid: …"}
            Text,           // HTTP 200 with `text` verbatim
            ServerError,    // HTTP 500 with an HTML page
            Drop,           // status line and headers, then the connection closes mid-body
            CloseAfterBody, // the request is read whole, then the connection closes unanswered
            Endless,        // the normal status and headers, then a body that never ends
            StrayBytes,     // the normal answer with `text` after it
            Delay,          // waits delayMs, then answers normally
        };
        Kind kind = Kind::ErrorAnswer;
        int errcode = 0;
        QString text; // the errmsg, the verbatim answer or the stray bytes
        int delayMs = 0;

        static Fault error(int errcode, const QString &errmsg)
        {
            return {Kind::ErrorAnswer, errcode, errmsg, 0};
        }
        static Fault busy() { return error(-1, QStringLiteral("system error")); }
        static Fault answer(const QString &text) { return {Kind::Text, 0, text, 0}; }
        static Fault serverError() { return {Kind::ServerError, 0, {}, 0}; }
        static Fault drop() { return {Kind::Drop, 0, {}, 0}; }
        static Fault closeAfterBody() { return {Kind::CloseAfterBody, 0, {}, 0}; }
        static Fault endless() { return {Kind::Endless, 0, {}, 0}; }
        static Fault strayBytes(const QString &text) { return {Kind::StrayBytes, 0, text, 0}; }
        static Fault delay(int ms) { return {Kind::Delay, 0, {}, ms}; }
    };

    // One request as it arrived: method, the raw target (path and query as sent), the path, and
    // its headers (names as sent).
    struct Request {
        QString method;
        QString target;
        QString path;
        std::vector<std::pair<QString, QString>> headers;
        QStringList header(const QString &name) const; // every value of that header, any case
    };

    // A request to a send endpoint, with the answer the fake gave ("" when it gave none).
    struct Send {
        QString path;
        QString token;
        QByteArray body;
        QString answer;
    };

    // A user/info (one openid) or user/info/batchget (the openids of its list) request, as it
    // arrived.
    struct InfoRequest {
        QString path;
        QStringList openids;
    };

    // port 0: the system chooses (a fixed one is for the stand-alone program).
    explicit FakeWeChat(int port = 0);
    ~FakeWeChat();
    FakeWeChat(const FakeWeChat &) = delete;
    FakeWeChat &operator=(const FakeWeChat &) = delete;

    QString base() const; // "http://127.0.0.1:PORT", the value for VELTRANO_API_BASE
    // The fake central control server: a POST answers a newly issued bare token and a line break.
    QString centralServerUrl() const { return base() + QStringLiteral("/central/token"); }

    // --- faults and timing --------------------------------------------------------------------
    // The next `count` requests to `path` get `fault`; a count of -1 means all of them. Rules for
    // one path are used up in the order they were added. This is the one way to make an endpoint
    // misbehave.
    void failNext(const QString &path, int count, const Fault &fault);
    void clearFaults();
    void setLatency(int ms); // added to every request

    // --- tokens -------------------------------------------------------------------------------
    void setTokenLifetime(int seconds); // expires_in answered (default 7200)
    void setCredentials(const QString &appid, const QString &secret); // others are refused
    void setStaleOnIssue(bool on); // each issue makes every earlier token stale (40001)
    void refuseCurrentTokenOnce(); // sends get 40001 until a new token is issued
    QString lastIssuedToken() const;
    // /cgi-bin/stable_token (expires_in from setTokenLifetime). Its clock starts at 0 and moves
    // only through advanceStableClock.
    QString stableToken() const;   // the current stable token ("" before the first)
    int forcedStableCalls() const; // stable-token requests asking force_refresh
    QByteArray lastStableTokenBody() const;
    void advanceStableClock(int seconds);

    // --- followers ----------------------------------------------------------------------------
    void setFollowerCount(int count);              // generated openids, 28 characters each
    void setFollowers(const QStringList &openids); // exactly these, in this order
    QStringList followers() const;
    void setPageSize(int size); // openids per user/get page (default 10,000)
    // A follower who has left since the list was read: user/info and batchget describe them with
    // WeChat's short answer {"subscribe":0,"openid":…,"tagid_list":[]}.
    void setLeft(const QString &openid);
    std::vector<InfoRequest> infoRequests() const;

    // --- what arrived -------------------------------------------------------------------------
    // Requests to `path`, answered or not; counted even when requests are not kept.
    int requestCount(const QString &path) const;
    int tokenCalls() const { return requestCount(QStringLiteral("/cgi-bin/token")); }
    int stableTokenCalls() const { return requestCount(QStringLiteral("/cgi-bin/stable_token")); }
    int centralCalls() const { return requestCount(QStringLiteral("/central/token")); }
    int sendCount() const
    {
        return requestCount(QStringLiteral("/cgi-bin/message/template/send"))
               + requestCount(QStringLiteral("/cgi-bin/message/custom/send"));
    }
    std::vector<Request> requests() const;
    std::vector<Send> sends() const;
    int connectionCount() const; // distinct client connections seen
    // Off: requests, sends and profile requests are no longer kept, only counted (long
    // benchmarks).
    void setKeepRequests(bool keep);

private:
    struct State;
    std::unique_ptr<State> d;
};

// Points the client at a fake (VELTRANO_API_BASE) for one scope, then restores what was there.
class ScopedApiBase {
public:
    explicit ScopedApiBase(const QString &base);
    explicit ScopedApiBase(const FakeWeChat &fake) : ScopedApiBase(fake.base()) {}
    ~ScopedApiBase();
    ScopedApiBase(const ScopedApiBase &) = delete;
    ScopedApiBase &operator=(const ScopedApiBase &) = delete;

private:
    bool m_had;
    QByteArray m_old;
};

} // namespace veltrano::testsupport
