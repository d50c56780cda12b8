// Network port words, read before anything is resolved or sent.
#include "NetWord.h"

#include <cctype>

namespace {

struct Scheme {
    const char* prefix;
    NetKind kind;
};
constexpr Scheme schemes[] = {{"tcp://", NET_TCP}, {"rfc2217://", NET_RFC2217}};

NetKind KindOf(const std::string& word, size_t* rest)
{
    for (const Scheme& scheme : schemes) {
        const std::string prefix = scheme.prefix;
        if (word.size() < prefix.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < prefix.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(word[i])) == prefix[i];
        if (same) {
            *rest = prefix.size();
            return scheme.kind;
        }
    }
    return NET_NONE;
}

NetWord Refuse(const std::string& word, const std::string& why)
{
    NetWord refused;
    refused.kind = NET_NONE;
    refused.failure = "gantrix: " + word + ": " + why +
                      "; a network port is tcp://HOST:PORT or rfc2217://HOST:PORT";
    return refused;
}

}  // namespace

bool IsNetWord(const std::string& word)
{
    size_t rest = 0;
    return KindOf(word, &rest) != NET_NONE;
}

NetWord ParseNetWord(const std::string& word)
{
    size_t at = 0;
    const NetKind kind = KindOf(word, &at);
    if (kind == NET_NONE)
        return Refuse(word, "not a network port word");
    const std::string rest = word.substr(at);
    if (rest.find('@') != std::string::npos)
        return Refuse(word, "a user part has no place in it");
    if (rest.find_first_of("/?#") != std::string::npos)
        return Refuse(word, "a path has no place in it");
    std::string host, port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return Refuse(word, "the IPv6 address has no closing ]");
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] != ':')
            return Refuse(word, "the port number must follow the ] after a colon");
        if (close + 1 < rest.size())
            port = rest.substr(close + 2);
        else
            return Refuse(word, "no port number");
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return Refuse(word, "no port number");
        if (rest.find(':', colon + 1) != std::string::npos)
            return Refuse(word, "an IPv6 address goes in brackets, as [::1]");
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty())
        return Refuse(word, "no host");
    if (port.empty())
        return Refuse(word, "no port number");
    unsigned long number = 0;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || number > 65535)
            return Refuse(word, "the port number must be 1 to 65535");
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number < 1 || number > 65535)
        return Refuse(word, "the port number must be 1 to 65535");
    NetWord net;
    net.kind = kind;
    net.host = host;
    net.port = static_cast<uint16_t>(number);
    return net;
}
