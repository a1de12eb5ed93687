// The live settings the tests share, as main() hands them out, and one batch run outside a service.
#pragma once

#include "core/answer_ledger.h"
#include "core/database.h"
#include "core/profile.h"
#include "core/send_batch.h"
#include "core/send_service.h"
#include "core/sender_lease.h"
#include "core/settings.h"

namespace veltrano::testsupport {

inline SharedSettings &liveSettings()
{
    static SharedSettings live;
    return live;
}

// config.ini's connection fields, also taken into the live values as a window takes them.
inline Settings loadConnection()
{
    Settings s = liveSettings().snapshot();
    LoadConnectionSettings(s);
    liveSettings().update([&](Settings &v) { copyConnection(s, v); });
    return s;
}

// One batch with the live values, the kept answers in the application folder and a lease held for
// this batch alone; the parameters it loaded go back into the live values.
inline BatchReport runBatch()
{
    BatchContext context;
    context.settings = liveSettings().snapshot();
    AnswerLedger ledger(answerLedgerFile(),
                        AnswerLedger::queueKey(context.settings.driver, context.settings.host,
                                               context.settings.db));
    SenderLease lease;
    context.ledger = &ledger;
    context.lease = &lease;
    context.postsInFlight = postsInFlight(context.settings.posts_in_flight).value_or(1);
    const BatchReport report = RunSendBatch(context);
    if (report.parameters)
        liveSettings().update([&](Settings &s) { copyParameters(*report.parameters, s); });
    try {
        Database db(context.settings);
        lease.release(db);
    } catch (const DbError &) {}
    return report;
}

} // namespace veltrano::testsupport
