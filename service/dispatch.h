// The fingerprint-operation calls the dispatcher's cancellation rule makes,
// as a table so that tests can watch the rule at work.
#pragma once

struct FpOps {
    int (*getFpState)();
    int (*cancelVerify)(bool extra);
    int (*cancelEnroll)();
    void (*sleepMs)(unsigned ms);
};

// Installs `ops` (null restores the session's own operations).
void setFpOps(const FpOps* ops);
