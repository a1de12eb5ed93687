// HTTP and JSON access to the WeChat API: the two message posts, the generic GET and the parse.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>
#include <stdexcept>

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

private:
    QString request(const QString &url, bool post, const QByteArray &body, bool json = false);
    struct Handle;
    std::unique_ptr<Handle> m_handle;
};

// apiBase() followed by the path and query.
QString apiUrl(const QString &pathAndQuery);

// A query value percent-encoded where it holds characters outside the URL-safe set.
QString urlValue(const QString &value);

// The object the text holds, or nothing when it is not a JSON object.
std::optional<QJsonObject> ParseJson(const QString &text);

} // namespace veltrano
