// libcurl's multi interface: a free list of easy handles, polled until one of them ends.
#include "core/http_pipeline.h"

#include "core/http_client.h"

#include <curl/curl.h>

#include <map>

namespace veltrano {
namespace {

struct Transfer {
    CURL *curl = nullptr;
    qint64 tag = 0;
    QByteArray body;
    QByteArray answer;
    char error[CURL_ERROR_SIZE] = {};
};

size_t appendAnswer(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, qsizetype(size * count));
    return size * count;
}

} // namespace

struct HttpPipeline::Impl {
    CURLM *multi = nullptr;
    curl_slist *headers = nullptr;
    std::vector<std::unique_ptr<Transfer>> idle;
    std::map<CURL *, std::unique_ptr<Transfer>> busy;

    std::unique_ptr<Transfer> take()
    {
        if (!idle.empty()) {
            std::unique_ptr<Transfer> t = std::move(idle.back());
            idle.pop_back();
            return t;
        }
        auto t = std::make_unique<Transfer>();
        t->curl = curl_easy_init();
        if (!t->curl)
            throw HttpError("libcurl could not create a request handle");
        curl_easy_setopt(t->curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(t->curl, CURLOPT_ERRORBUFFER, t->error);
        curl_easy_setopt(t->curl, CURLOPT_WRITEFUNCTION, appendAnswer);
        curl_easy_setopt(t->curl, CURLOPT_WRITEDATA, &t->answer);
        curl_easy_setopt(t->curl, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(t->curl, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(t->curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(t->curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(t->curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(t->curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(t->curl, CURLOPT_POST, 1L);
        return t;
    }
};

HttpPipeline::HttpPipeline() : d(std::make_unique<Impl>())
{
    HttpClient warmUp; // curl_global_init runs once, there
    d->multi = curl_multi_init();
    if (!d->multi)
        throw HttpError("libcurl could not create a multi handle");
    d->headers = curl_slist_append(d->headers, "Content-Type: application/x-www-form-urlencoded");
    d->headers = curl_slist_append(d->headers, "Expect:");
}

HttpPipeline::~HttpPipeline()
{
    for (auto &[curl, transfer] : d->busy) {
        curl_multi_remove_handle(d->multi, curl);
        curl_easy_cleanup(curl);
    }
    for (auto &transfer : d->idle)
        curl_easy_cleanup(transfer->curl);
    curl_multi_cleanup(d->multi);
    curl_slist_free_all(d->headers);
}

void HttpPipeline::post(qint64 tag, const QString &url, const QByteArray &body)
{
    std::unique_ptr<Transfer> t = d->take();
    t->tag = tag;
    t->body = body;
    t->answer.clear();
    t->error[0] = '\0';
    const QByteArray target = url.toUtf8();
    curl_easy_setopt(t->curl, CURLOPT_URL, target.constData()); // libcurl copies the URL
    curl_easy_setopt(t->curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t->body.size()));
    curl_easy_setopt(t->curl, CURLOPT_POSTFIELDS, t->body.constData());
    if (curl_multi_add_handle(d->multi, t->curl) != CURLM_OK) {
        d->idle.push_back(std::move(t));
        throw HttpError("libcurl refused a request");
    }
    CURL *key = t->curl;
    d->busy.emplace(key, std::move(t));
}

int HttpPipeline::inFlight() const
{
    return int(d->busy.size());
}

std::vector<HttpPipeline::Answer> HttpPipeline::wait()
{
    std::vector<Answer> ended;
    while (!d->busy.empty()) {
        int running = 0;
        curl_multi_perform(d->multi, &running);
        int left = 0;
        while (CURLMsg *message = curl_multi_info_read(d->multi, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            auto it = d->busy.find(message->easy_handle);
            if (it == d->busy.end())
                continue;
            std::unique_ptr<Transfer> t = std::move(it->second);
            d->busy.erase(it);
            curl_multi_remove_handle(d->multi, t->curl);
            Answer answer;
            answer.tag = t->tag;
            if (message->data.result == CURLE_OK) {
                long status = 0;
                curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
                answer.completed = true;
                answer.status = int(status);
                answer.body = QString::fromUtf8(t->answer);
            } else {
                answer.error = QString::fromUtf8(curl_easy_strerror(message->data.result));
                if (t->error[0] != '\0')
                    answer.error += QStringLiteral(": ") + QString::fromUtf8(t->error);
            }
            curl_easy_setopt(t->curl, CURLOPT_POSTFIELDS, nullptr);
            t->answer.clear();
            d->idle.push_back(std::move(t));
            ended.push_back(std::move(answer));
        }
        if (!ended.empty())
            break;
        curl_multi_poll(d->multi, nullptr, 0, 1000, nullptr);
    }
    return ended;
}

} // namespace veltrano
