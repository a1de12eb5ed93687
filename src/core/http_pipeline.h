// Several HTTP posts in flight on one connection pool, for a batch that waits on WeChat's latency.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace veltrano {

// The same requests as HttpClient (same header, TLS verified, 10 s to connect, 60 s in all), but
// many at once through libcurl's multi interface, with connections kept alive between them. Each
// request carries a tag of the caller's; answers come back in the order they end. Not for sharing
// between threads.
class HttpPipeline {
public:
    struct Answer {
        qint64 tag = 0;
        bool completed = false; // false: no complete answer came back; `error` says why
        int status = 0;
        QString body;
        QString error;
    };

    HttpPipeline();
    ~HttpPipeline();
    HttpPipeline(const HttpPipeline &) = delete;
    HttpPipeline &operator=(const HttpPipeline &) = delete;

    void post(qint64 tag, const QString &url, const QByteArray &body);
    int inFlight() const;
    // Waits until at least one request ends (nothing when none is in flight).
    std::vector<Answer> wait();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace veltrano
