// One batch of the send cycle: a token, the pending rows, one post each, every answer written back.
#pragma once

namespace veltrano {

struct BatchReport {
    int posted = 0;         // posts that reached WeChat and whose answer was stored
    int markedLocally = 0;  // rows that could not be posted and got a local error text instead
    bool endedEarly = false; // a failure stopped the batch; the rows not reached stay pending
};

// Runs on the worker. Reads the shared settings, reports through the logger and never throws:
// a failure skips or ends the batch with a log line, and no row is ever marked without an answer.
BatchReport RunSendBatch();

} // namespace veltrano
