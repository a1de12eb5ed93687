// HTTP and JSON access to the WeChat API: the two message posts, the generic GET and the parse.
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

// A request that produced no answer (refused, dropped, timed out, TLS failure), with the reason.
class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One connection, reused for the requests of one batch or export. Every request but PostJson sends
// the header "Content-Type: application/x-www-form-urlencoded"; each returns the answer body (UTF-8)
// whatever the HTTP status; a request that gets no complete answer throws HttpError. TLS is verified,
// connecting may take 10 s and a whole request 60 s. Not for sharing between threads.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    QString PostTemplateMessage(const QString &body, const QString &token);
    QString PostCustomMessage(const QString &body, const QString &token);
    QString HttpGet(const QString &url);
    QString Post(const QString &url, const QByteArray &body = {});
    // The same POST declaring "Content-Type: application/json", for endpoints that read only JSON.
    QString PostJson(const QString &url, const QByteArray &body);

    // The HTTP status of the latest answer (0 before the first one).
    int lastStatus() const;

    // While `check` answers true, a request under way is abandoned (HttpError) within about a
    // second; an empty function turns the check off.
    void setAbortCheck(std::function<bool()> check);

private:
    QString request(const QString &url, bool post, const QByteArray &body, bool json = false);
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

    struct Answer {
        quint64 tag = 0;
        QString body;  // the answer body (UTF-8), whatever the HTTP status
        int status = 0;
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

// A query value percent-encoded where it holds characters outside the URL-safe set.
QString urlValue(const QString &value);

// The object the text holds, or nothing when it is not a JSON object.
std::optional<QJsonObject> ParseJson(const QString &text);

} // namespace veltrano
