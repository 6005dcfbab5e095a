// One address syntax for the address box, "palaver call" and palaver:// links: HOST,
// HOST:PORT, [IPV6]:PORT, [IPV6] and a bare IPv6 address. Without a port the given default
// is used.
#pragma once

#include <QString>

#include <optional>

namespace platform {

struct Address {
    QString host;
    int port = 0;
};

// Nothing when the text is not an address: an empty host, a port that is not a number from
// 1 to 65535, an unclosed bracket, stray characters.
std::optional<Address> ParseAddress(const QString& text, int defaultPort);
// A name or an address made only of what host names and addresses hold; what comes from
// outside the program (the command line, a link) must pass it.
bool LooksLikeHost(const QString& host);
bool PlainHost(const QString& host);

// The HOST[:PORT] of a palaver:// link, percent-decoded: what is checked is what is called.
// Empty when the link is none.
QString LinkTarget(const QString& link);
// A palaver://HOST[:PORT] link (a trailing slash allowed).
std::optional<Address> ParseLink(const QString& link, int defaultPort);

} // namespace platform
