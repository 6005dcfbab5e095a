// The contacts part of the key store: people known by their keys, kept beside the pins.
#include "Identity.h"

#include <QJsonObject>

#include <algorithm>

namespace {

// A name as it may be kept and shown: one line without control or direction characters,
// not a flood.
QString CleanName(const QString& name) {
    QString out;
    for (const QChar c : name.left(KeyStore::kMaxNameChars)) {
        if (c.isPrint() || c == QLatin1Char(' ')) {
            out += c;
        }
    }
    return out.simplified();
}

} // namespace

void KeyStore::ParseContacts(const QJsonArray& from) {
    for (const QJsonValue& v : from) {
        const QJsonObject o = v.toObject();
        Contact c;
        c.key = QByteArray::fromHex(o.value(QStringLiteral("key")).toString().toLatin1());
        c.name = CleanName(o.value(QStringLiteral("name")).toString());
        if (c.key.size() != 32 || c.name.isEmpty() || ContactOf(c.key) != nullptr ||
            contacts_.size() >= kMaxContacts) {
            continue;
        }
        for (const QJsonValue& a : o.value(QStringLiteral("addresses")).toArray()) {
            const QString address = a.toString().left(kMaxNameChars);
            if (!address.isEmpty() && !c.addresses.contains(address) &&
                c.addresses.size() < kMaxAddresses) {
                c.addresses << address;
            }
        }
        c.lastSeen = std::max<qint64>(0, o.value(QStringLiteral("lastSeen")).toInteger());
        contacts_ << c;
    }
}

QJsonArray KeyStore::ContactsJson() const {
    QJsonArray out;
    for (const Contact& c : contacts_) {
        QJsonObject o;
        o.insert(QStringLiteral("key"), QString::fromLatin1(c.key.toHex()));
        o.insert(QStringLiteral("name"), c.name);
        o.insert(QStringLiteral("addresses"), QJsonArray::fromStringList(c.addresses));
        o.insert(QStringLiteral("lastSeen"), c.lastSeen);
        out.append(o);
    }
    return out;
}

const Contact* KeyStore::ContactOf(const QByteArray& key) const {
    const auto it = std::find_if(contacts_.begin(), contacts_.end(),
                                 [&key](const Contact& c) { return c.key == key; });
    return it == contacts_.end() ? nullptr : &*it;
}

bool KeyStore::Meet(const QByteArray& key, const QString& nickname, const QString& address,
                    qint64 now) {
    if (key.size() != 32) {
        return false;
    }
    if (ContactOf(key) != nullptr) {
        Seen(key, address, now);
        return false;
    }
    Contact c;
    c.key = key;
    c.name = CleanName(nickname);
    if (c.name.isEmpty()) {
        c.name = QString::fromLatin1(key.toHex().left(8));
    }
    if (!address.isEmpty()) {
        c.addresses << address;
    }
    c.lastSeen = now;
    contacts_ << c;
    // Full: the one seen longest ago goes, unless the user verified its key.
    while (contacts_.size() > kMaxContacts) {
        auto oldest = contacts_.end();
        for (auto it = contacts_.begin(); it != contacts_.end(); ++it) {
            if (!verified_.contains(it->key) &&
                (oldest == contacts_.end() || it->lastSeen < oldest->lastSeen)) {
                oldest = it;
            }
        }
        if (oldest == contacts_.end()) {
            break;
        }
        contacts_.erase(oldest);
    }
    Save();
    return true;
}

void KeyStore::Seen(const QByteArray& key, const QString& address, qint64 now) {
    const auto it = std::find_if(contacts_.begin(), contacts_.end(),
                                 [&key](const Contact& c) { return c.key == key; });
    if (it == contacts_.end()) {
        return;
    }
    bool changed = false;
    if (!address.isEmpty() && it->addresses.value(0) != address) {
        it->addresses.removeAll(address);
        it->addresses.prepend(address);
        while (it->addresses.size() > kMaxAddresses) {
            it->addresses.removeLast();
        }
        changed = true;
    }
    // The time alone is written at most once a minute: presence checks come often.
    if (now - it->lastSeen >= 60 * 1000 || changed) {
        it->lastSeen = std::max(it->lastSeen, now);
        changed = true;
    }
    if (changed) {
        Save();
    }
}

bool KeyStore::Rename(const QByteArray& key, const QString& name) {
    const QString clean = CleanName(name);
    const auto it = std::find_if(contacts_.begin(), contacts_.end(),
                                 [&key](const Contact& c) { return c.key == key; });
    if (it == contacts_.end() || clean.isEmpty()) {
        return false;
    }
    if (it->name != clean) {
        it->name = clean;
        Save();
    }
    return true;
}

void KeyStore::Forget(const QByteArray& key) {
    contacts_.removeIf([&key](const Contact& c) { return c.key == key; });
    pins_.removeIf([&key](const auto& pin) { return pin.value() == key; });
    for (auto it = callers_.begin(); it != callers_.end();) {
        if (it.value() == key) {
            order_.removeOne(it.key());
            it = callers_.erase(it);
        } else {
            ++it;
        }
    }
    verified_.removeAll(key);
    Save();
}
