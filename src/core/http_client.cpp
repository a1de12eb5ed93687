// HTTP and JSON access to the WeChat API through libcurl, one kept-alive handle per client.
#include "core/http_client.h"

#include "core/app_context.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

#include <curl/curl.h>

#include <mutex>

namespace veltrano {
namespace {

std::once_flag curlGlobalOnce;

size_t appendBody(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, qsizetype(size * count));
    return size * count;
}

} // namespace

struct HttpClient::Handle {
    CURL *curl = nullptr;
    curl_slist *headers = nullptr;
    curl_slist *jsonHeaders = nullptr;
    QByteArray answer;
    char error[CURL_ERROR_SIZE] = {};
    int status = 0;
};

HttpClient::HttpClient() : m_handle(std::make_unique<Handle>())
{
    // curl_global_init is not thread-safe itself; the batch and the export may start together.
    std::call_once(curlGlobalOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Handle &h = *m_handle;
    h.curl = curl_easy_init();
    if (!h.curl)
        throw HttpError("libcurl could not create a request handle");
    // The one header every request carries; "Expect:" stops curl announcing larger bodies with
    // "Expect: 100-continue", which costs a round trip and is a header of its own.
    h.headers = curl_slist_append(h.headers, "Content-Type: application/x-www-form-urlencoded");
    h.headers = curl_slist_append(h.headers, "Expect:");
    h.jsonHeaders = curl_slist_append(h.jsonHeaders, "Content-Type: application/json");
    h.jsonHeaders = curl_slist_append(h.jsonHeaders, "Expect:");
    curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, h.headers);
    curl_easy_setopt(h.curl, CURLOPT_ERRORBUFFER, h.error);
    curl_easy_setopt(h.curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h.curl, CURLOPT_WRITEDATA, &h.answer);
    curl_easy_setopt(h.curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(h.curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(h.curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h.curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // Time limits by signal would disturb the other threads of the program.
    curl_easy_setopt(h.curl, CURLOPT_NOSIGNAL, 1L);
    // A URL from the settings must not reach the file system or any other protocol.
    curl_easy_setopt(h.curl, CURLOPT_PROTOCOLS_STR, "http,https");
}

HttpClient::~HttpClient()
{
    curl_easy_cleanup(m_handle->curl);
    curl_slist_free_all(m_handle->headers);
    curl_slist_free_all(m_handle->jsonHeaders);
}

QString HttpClient::PostTemplateMessage(const QString &body, const QString &token)
{
    return Post(apiUrl(QStringLiteral("/cgi-bin/message/template/send?access_token=") + urlValue(token)),
                body.toUtf8());
}

QString HttpClient::PostCustomMessage(const QString &body, const QString &token)
{
    return Post(apiUrl(QStringLiteral("/cgi-bin/message/custom/send?access_token=") + urlValue(token)),
                body.toUtf8());
}

QString HttpClient::HttpGet(const QString &url)
{
    return request(url, false, {});
}

QString HttpClient::Post(const QString &url, const QByteArray &body)
{
    return request(url, true, body);
}

QString HttpClient::PostJson(const QString &url, const QByteArray &body)
{
    return request(url, true, body, true);
}

int HttpClient::lastStatus() const
{
    return m_handle->status;
}

QString HttpClient::request(const QString &url, bool post, const QByteArray &body, bool json)
{
    Handle &h = *m_handle;
    curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, json ? h.jsonHeaders : h.headers);
    const QByteArray target = url.toUtf8();
    curl_easy_setopt(h.curl, CURLOPT_URL, target.constData());
    if (post) {
        curl_easy_setopt(h.curl, CURLOPT_POST, 1L);
        curl_easy_setopt(h.curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(h.curl, CURLOPT_POSTFIELDS, body.constData());
    } else {
        curl_easy_setopt(h.curl, CURLOPT_HTTPGET, 1L);
    }
    h.answer.clear();
    h.error[0] = '\0';
    h.status = 0;
    const CURLcode result = curl_easy_perform(h.curl);
    // The handle keeps the pointer; the body goes out of scope with this call.
    curl_easy_setopt(h.curl, CURLOPT_POSTFIELDS, nullptr);
    if (result != CURLE_OK) {
        h.answer.clear();
        std::string reason = curl_easy_strerror(result);
        if (h.error[0] != '\0')
            reason += std::string(": ") + h.error;
        throw HttpError(reason);
    }
    long status = 0;
    curl_easy_getinfo(h.curl, CURLINFO_RESPONSE_CODE, &status);
    h.status = int(status);
    return QString::fromUtf8(h.answer);
}

QString apiUrl(const QString &pathAndQuery)
{
    return apiBase() + pathAndQuery;
}

QString urlValue(const QString &value)
{
    // Letters, digits and "-._~" pass unchanged, so an ordinary token or openid reads as it came.
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

std::optional<QJsonObject> ParseJson(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace veltrano
