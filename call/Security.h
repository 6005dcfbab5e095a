// What secure calls need, shared by every call of a switchboard: this user's identity, the
// keys met so far, and the two switches the user sets.
#pragma once

#include "Identity.h"

#include <QSslConfiguration>
#include <QSslSocket>

#include <functional>

struct Security {
    // "Offer and accept secure calls"
    bool offer = true;
    // "Only secure calls": no call goes on in plain text.
    bool only = false;
    Identity identity;
    KeyStore keys;
    // Nothing is offered before the identity was read.
    bool loaded = false;
    // Whether the peer at this remote address once answered a call securely (the history
    // knows); none: no address is known so.
    std::function<bool(const QString& remoteAddress)> securedBefore;

    // Reads (and on first need makes) the identity and the pinned keys.
    void Load(const QString& identityPath = Identity::DefaultPath(),
              const QString& keysPath = KeyStore::DefaultPath()) {
        identity.Load(identityPath);
        keys.Load(keysPath);
        loaded = true;
    }
    bool CanOffer() const { return loaded && offer && identity.Usable(); }
    // TLS 1.3 only, our certificate presented, the peer's always asked for and judged by its
    // key, never by a certificate authority.
    QSslConfiguration Configuration() const {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setProtocol(QSsl::TlsV1_3OrLater);
        c.setLocalCertificate(identity.Certificate());
        c.setPrivateKey(identity.Key());
        c.setPeerVerifyMode(QSslSocket::VerifyPeer);
        c.setCaCertificates({});
        return c;
    }
};
