#pragma once
// The webhook's token, kept as every token is (engine/kept_token.h).

#include "engine/kept_token.h"

#include <utility>

namespace engine {

inline void
lookUpWebhookToken(QObject *context,
                   std::function<void(const std::optional<QString> &, const QString &)> done) {
    lookUpToken(mailsecret::webhookToken(), context, std::move(done));
}

inline void storeWebhookToken(const QString &token, QObject *context,
                              std::function<void(const QString &problem)> done) {
    storeToken(mailsecret::webhookToken(), token, context, std::move(done));
}

} // namespace engine
