// HTTP and JSON access to the WeChat API: the endpoints, one kept-alive client, several requests at
// once, and the parse.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace veltrano {

// A request that produced no answer (refused, dropped, timed out, TLS failure, an answer past
// kMaxAnswerBytes), with the reason.
class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No WeChat answer comes near this; past it the transfer stops, so an answer that never ends costs
// no more memory than this.
inline constexpr qsizetype kMaxAnswerBytes = 1024 * 1024;

// The paths of the WeChat endpoints the program calls, under apiBase().
namespace endpoint {
inline constexpr char kToken[] = "/cgi-bin/token";
inline constexpr char kStableToken[] = "/cgi-bin/stable_token";
inline constexpr char kTemplateSend[] = "/cgi-bin/message/template/send";
inline constexpr char kCustomSend[] = "/cgi-bin/message/custom/send";
inline constexpr char kUserGet[] = "/cgi-bin/user/get";
inline constexpr char kUserInfo[] = "/cgi-bin/user/info";
inline constexpr char kBatchGet[] = "/cgi-bin/user/info/batchget";
} // namespace endpoint

// One connection, reused for the token requests of one batch or export. Every request but PostJson
// sends the header "Content-Type: application/x-www-form-urlencoded"; each returns the answer body
// (UTF-8) whatever the HTTP status; a request that gets no complete answer throws HttpError. TLS is
// verified, connecting may take 10 s and a whole request 60 s. A kept-alive connection that dies
// under a request fails it: the request is never sent again behind the caller's back. Not for
// sharing between threads.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    QString Post(const QString &url, const QByteArray &body = {});
    // The same POST declaring "Content-Type: application/json", for endpoints that read only JSON.
    QString PostJson(const QString &url, const QByteArray &body);

    // The HTTP status of the latest answer (0 before the first one).
    int lastStatus() const;

    // While `check` answers true, a request under way is abandoned (HttpError) within about a
    // second; an empty function turns the check off.
    void setAbortCheck(std::function<bool()> check);

private:
    QString request(const QString &url, const QByteArray &body, bool json);
    struct Handle;
    std::unique_ptr<Handle> m_handle;
};

// Several requests in flight at once from one thread, each on a kept-alive connection of its own,
// with the same headers, TLS checks and time limits as HttpClient. The caller waits in short steps,
// so it can give up (abortAll) between any two of them. Not for sharing between threads.
class HttpMulti {
public:
    explicit HttpMulti(int slots);
    ~HttpMulti();
    HttpMulti(const HttpMulti &) = delete;
    HttpMulti &operator=(const HttpMulti &) = delete;

    int slots() const;
    int inFlight() const;
    bool hasFreeSlot() const { return inFlight() < slots(); }

    // Starts a GET, or a POST of `body`, on a free slot; the tag comes back with its answer.
    // Throws HttpError when no slot is free.
    void start(quint64 tag, const QString &url, bool post = false, const QByteArray &body = {});

    // Whether a request that got no complete answer can have reached the server.
    enum class Failure {
        None,        // a complete answer came
        NothingSent, // refused, unresolved, no connection in time, TLS refused: no byte went out
        NoAnswer,    // the request went out (perhaps whole) and no usable answer came back
    };
    struct Answer {
        quint64 tag = 0;
        QString body; // the answer body (UTF-8), whatever the HTTP status
        int status = 0;
        Failure failure = Failure::None;
        QString error; // why no complete answer came; empty when one did
    };
    // Sends what the requests started since the last call have to send, without waiting.
    void send();
    // Waits at most timeoutMs for requests to end and returns the ones that did (perhaps none).
    std::vector<Answer> wait(int timeoutMs);
    // Drops every request in flight at once, their connections with them.
    void abortAll();

private:
    struct Slot;
    void *m_multi = nullptr;
    std::vector<std::unique_ptr<Slot>> m_slots;
    int m_inFlight = 0;
};

// apiBase() followed by the path and query.
QString apiUrl(const QString &pathAndQuery);

// The send endpoint for a row's kind (1: template message, any other: customer-service message).
QString messageUrl(int kind, const QString &token);

// A query value percent-encoded where it holds characters outside the URL-safe set.
QString urlValue(const QString &value);

// The object the text holds, or nothing when it is not a JSON object.
std::optional<QJsonObject> ParseJson(const QString &text);

// The object the text starts with, whatever follows it; nothing when it starts with none. WeChat's
// verdict is in that object even when a proxy appends bytes of its own.
std::optional<QJsonObject> LeadingJsonObject(const QString &text);

} // namespace veltrano
