// Secrets kept out of every text the program writes out: the log, standard output and error.
#pragma once

#include <QString>

namespace veltrano {

// Hides this text (an appsecret, an access token) wherever maskSecrets finds it from now on. Texts
// shorter than 12 characters are not remembered: hiding them would garble ordinary words. Safe
// from any thread; the latest few dozen are kept.
void rememberSecret(const QString &secret);

// The text with every remembered secret, and every value a request or answer names as one
// (secret=…, access_token=…, "secret":"…", "access_token":"…"), replaced by "***". An error page
// that repeats the request URL, or a token server's answer quoted in a failure, then shows no key.
QString maskSecrets(const QString &text);

} // namespace veltrano
