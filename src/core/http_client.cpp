// HTTP and JSON access to the WeChat API through libcurl, one kept-alive handle per client.
#include "core/http_client.h"

#include "core/app_context.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <utility>

namespace veltrano {
namespace {

std::once_flag curlGlobalOnce;

// What arrives for one request: the answer up to kMaxAnswerBytes; past that the transfer stops.
struct Sink {
    QByteArray data;
    bool tooLong = false;

    void clear()
    {
        data.clear();
        tooLong = false;
    }
};

size_t appendBody(char *data, size_t size, size_t count, void *target)
{
    auto *sink = static_cast<Sink *>(target);
    const size_t bytes = size * count;
    if (sink->data.size() + qsizetype(bytes) > kMaxAnswerBytes) {
        sink->tooLong = true;
        return 0; // curl ends the transfer at once
    }
    sink->data.append(data, qsizetype(bytes));
    return bytes;
}

// The body of a post, handed to curl as it asks for it.
struct Upload {
    QByteArray body;
    qsizetype offset = 0;
};

size_t readBody(char *buffer, size_t size, size_t count, void *source)
{
    auto *upload = static_cast<Upload *>(source);
    const qsizetype n = std::min(qsizetype(size * count), upload->body.size() - upload->offset);
    std::memcpy(buffer, upload->body.constData() + upload->offset, size_t(n));
    upload->offset += n;
    return size_t(n);
}

// Curl rewinds a body to send the request once more: after a redirect or an authentication round
// (the program asks for neither), and on a new connection when a kept-alive one died under the
// request, by which time the body may well have reached the server. Refusing the rewind fails the
// request instead, so no message goes out twice without the program knowing.
int refuseRewind(void *, curl_off_t, int)
{
    return CURL_SEEKFUNC_FAIL;
}

QString tooLongText()
{
    return QStringLiteral("回答超过%1 MiB，已停止接收").arg(kMaxAnswerBytes / (1024 * 1024));
}

QString rewindText()
{
    return QStringLiteral("连接在请求发出后中断，没有收到回答（不自动重发）");
}

// A handle with the settings every request of the program shares; `headers` receives the list the
// handle points at (freed by the caller after the handle), `error` the buffer for curl's reason.
CURL *newHandle(curl_slist *&headers, char *error)
{
    // curl_global_init is not thread-safe itself; the batch and the export may start together.
    std::call_once(curlGlobalOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL *curl = curl_easy_init();
    if (!curl)
        throw HttpError("libcurl could not create a request handle");
    // The one header every request carries; "Expect:" stops curl announcing larger bodies with
    // "Expect: 100-continue", which costs a round trip and is a header of its own.
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, refuseRewind);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // Time limits by signal would disturb the other threads of the program.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A URL from the settings must not reach the file system or any other protocol.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    return curl;
}

// Points the handle at the URL as a GET, or as a POST of the upload's body (the upload must outlive
// the request).
void setRequest(CURL *curl, const QByteArray &url, bool post, Upload &upload)
{
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    upload.offset = 0;
    if (post) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(upload.body.size()));
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &upload);
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
}

std::string failureReason(CURLcode result, const char *error)
{
    std::string reason = curl_easy_strerror(result);
    if (error[0] != '\0')
        reason += std::string(": ") + error;
    return reason;
}

// True when the failed request cannot have reached the server: no connection, or not one byte of
// the request written to it.
bool nothingSent(CURL *curl, CURLcode result)
{
    if (result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_HOST
        || result == CURLE_COULDNT_RESOLVE_PROXY)
        return true;
    long requestBytes = 0;
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &requestBytes);
    return requestBytes == 0;
}

int abortWhenAsked(void *check, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return (*static_cast<std::function<bool()> *>(check))() ? 1 : 0;
}

} // namespace

struct HttpClient::Handle {
    CURL *curl = nullptr;
    curl_slist *headers = nullptr;
    curl_slist *jsonHeaders = nullptr;
    Upload upload;
    Sink answer;
    char error[CURL_ERROR_SIZE] = {};
    int status = 0;
    std::function<bool()> abortCheck;
};

HttpClient::HttpClient() : m_handle(std::make_unique<Handle>())
{
    Handle &h = *m_handle;
    h.curl = newHandle(h.headers, h.error);
    curl_easy_setopt(h.curl, CURLOPT_WRITEDATA, &h.answer);
    h.jsonHeaders = curl_slist_append(h.jsonHeaders, "Content-Type: application/json");
    h.jsonHeaders = curl_slist_append(h.jsonHeaders, "Expect:");
}

HttpClient::~HttpClient()
{
    curl_easy_cleanup(m_handle->curl);
    curl_slist_free_all(m_handle->headers);
    curl_slist_free_all(m_handle->jsonHeaders);
}

QString HttpClient::Post(const QString &url, const QByteArray &body)
{
    return request(url, body, false);
}

QString HttpClient::PostJson(const QString &url, const QByteArray &body)
{
    return request(url, body, true);
}

int HttpClient::lastStatus() const
{
    return m_handle->status;
}

void HttpClient::setAbortCheck(std::function<bool()> check)
{
    Handle &h = *m_handle;
    h.abortCheck = std::move(check);
    if (h.abortCheck) {
        curl_easy_setopt(h.curl, CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
        curl_easy_setopt(h.curl, CURLOPT_XFERINFODATA, &h.abortCheck);
        curl_easy_setopt(h.curl, CURLOPT_NOPROGRESS, 0L);
    } else {
        curl_easy_setopt(h.curl, CURLOPT_NOPROGRESS, 1L);
    }
}

QString HttpClient::request(const QString &url, const QByteArray &body, bool json)
{
    Handle &h = *m_handle;
    curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, json ? h.jsonHeaders : h.headers);
    const QByteArray target = url.toUtf8();
    h.upload.body = body;
    setRequest(h.curl, target, true, h.upload);
    h.answer.clear();
    h.error[0] = '\0';
    h.status = 0;
    const CURLcode result = curl_easy_perform(h.curl);
    h.upload.body.clear();
    const bool tooLong = h.answer.tooLong;
    const QByteArray answer = std::exchange(h.answer.data, {});
    if (tooLong)
        throw HttpError(tooLongText().toStdString());
    if (result == CURLE_SEND_FAIL_REWIND)
        throw HttpError(rewindText().toStdString());
    if (result != CURLE_OK)
        throw HttpError(failureReason(result, h.error));
    long status = 0;
    curl_easy_getinfo(h.curl, CURLINFO_RESPONSE_CODE, &status);
    h.status = int(status);
    return QString::fromUtf8(answer);
}

// --- several requests at once --------------------------------------------------------------------

struct HttpMulti::Slot {
    CURL *curl = nullptr;
    curl_slist *headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    QByteArray url;
    Upload upload;
    Sink answer;
    quint64 tag = 0;
    bool busy = false;
};

HttpMulti::HttpMulti(int slots)
{
    std::call_once(curlGlobalOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_multi = curl_multi_init();
    if (!m_multi)
        throw HttpError("libcurl could not create a multi handle");
    for (int i = 0; i < qMax(slots, 1); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->curl = newHandle(slot->headers, slot->error);
        curl_easy_setopt(slot->curl, CURLOPT_WRITEDATA, &slot->answer);
        curl_easy_setopt(slot->curl, CURLOPT_PRIVATE, slot.get());
        m_slots.push_back(std::move(slot));
    }
}

HttpMulti::~HttpMulti()
{
    abortAll();
    for (const auto &slot : m_slots) {
        curl_easy_cleanup(slot->curl);
        curl_slist_free_all(slot->headers);
    }
    curl_multi_cleanup(m_multi);
}

int HttpMulti::slots() const
{
    return int(m_slots.size());
}

int HttpMulti::inFlight() const
{
    return m_inFlight;
}

void HttpMulti::start(quint64 tag, const QString &url, bool post, const QByteArray &body)
{
    for (const auto &slot : m_slots) {
        if (slot->busy)
            continue;
        slot->url = url.toUtf8();
        slot->upload.body = body;
        slot->answer.clear();
        slot->error[0] = '\0';
        slot->tag = tag;
        setRequest(slot->curl, slot->url, post, slot->upload);
        const CURLMcode added = curl_multi_add_handle(m_multi, slot->curl);
        if (added != CURLM_OK)
            throw HttpError(curl_multi_strerror(added));
        slot->busy = true;
        ++m_inFlight;
        return;
    }
    throw HttpError("no free request slot");
}

void HttpMulti::send()
{
    int running = 0;
    const CURLMcode code = curl_multi_perform(m_multi, &running);
    if (code != CURLM_OK)
        throw HttpError(curl_multi_strerror(code));
}

std::vector<HttpMulti::Answer> HttpMulti::wait(int timeoutMs)
{
    std::vector<Answer> done;
    int running = 0;
    CURLMcode code = curl_multi_perform(m_multi, &running);
    // Waiting only while every request is still running: a finished one is handed back at once.
    if (code == CURLM_OK && running > 0 && running == m_inFlight) {
        code = curl_multi_poll(m_multi, nullptr, 0, timeoutMs, nullptr);
        if (code == CURLM_OK)
            code = curl_multi_perform(m_multi, &running);
    }
    if (code != CURLM_OK)
        throw HttpError(curl_multi_strerror(code));

    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Slot *slot = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &slot);
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(m_multi, slot->curl);
        slot->busy = false;
        --m_inFlight;
        Answer answer;
        answer.tag = slot->tag;
        if (slot->answer.tooLong) {
            answer.failure = Failure::NoAnswer;
            answer.error = tooLongText();
        } else if (result == CURLE_SEND_FAIL_REWIND) {
            answer.failure = Failure::NoAnswer;
            answer.error = rewindText();
        } else if (result == CURLE_OK) {
            long status = 0;
            curl_easy_getinfo(slot->curl, CURLINFO_RESPONSE_CODE, &status);
            answer.status = int(status);
            answer.body = QString::fromUtf8(slot->answer.data);
        } else {
            answer.failure =
                nothingSent(slot->curl, result) ? Failure::NothingSent : Failure::NoAnswer;
            answer.error = QString::fromStdString(failureReason(result, slot->error));
        }
        slot->answer.clear();
        slot->upload.body.clear();
        done.push_back(std::move(answer));
    }
    return done;
}

void HttpMulti::abortAll()
{
    for (const auto &slot : m_slots) {
        if (!slot->busy)
            continue;
        curl_multi_remove_handle(m_multi, slot->curl);
        slot->busy = false;
        slot->answer.clear();
        slot->upload.body.clear();
    }
    m_inFlight = 0;
}

QString apiUrl(const QString &pathAndQuery)
{
    return apiBase() + pathAndQuery;
}

QString messageUrl(int kind, const QString &token)
{
    return apiUrl(QLatin1String(kind == 1 ? endpoint::kTemplateSend : endpoint::kCustomSend)
                  + QStringLiteral("?access_token=") + urlValue(token));
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

std::optional<QJsonObject> LeadingJsonObject(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    // The parser names where the stray bytes begin; what comes before them is parsed alone.
    if (error.error == QJsonParseError::GarbageAtEnd && error.offset > 0)
        document = QJsonDocument::fromJson(bytes.left(error.offset), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace veltrano
