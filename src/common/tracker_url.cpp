#include "common/tracker_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {
bool same_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string schemes_text(std::initializer_list<std::string_view> schemes) {
    std::string text;
    for (const std::string_view scheme : schemes) {
        text.append(text.empty() ? "" : ", ").append(scheme);
    }
    return text;
}

bool valid_port(std::string_view digits) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return error == std::errc() && end == digits.data() + digits.size() && port >= 1 &&
           port <= 65535 && std::isdigit(static_cast<unsigned char>(digits.front()));
}

// The authority: user information dropped, then a bracketed IPv6 literal or a name, and a port.
std::optional<std::string> authority_problem(std::string_view authority) {
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view after_host;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return "an IPv6 address without its closing ']'";
        }
        host = authority.substr(0, close + 1);
        after_host = authority.substr(close + 1);
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        after_host = authority.substr(colon);
    }
    if (host.empty() || host == "[]") {
        return "no host";
    }
    if (host.find_first_of(" \t\r\n") != std::string_view::npos) {
        return "white space in the host";
    }
    if (!after_host.empty() && (!after_host.starts_with(':') || after_host.size() == 1 ||
                                !valid_port(after_host.substr(1)))) {
        return "a port that is not a number from 1 to 65535";
    }
    return std::nullopt;
}
} // namespace

std::optional<std::string> url_problem(std::string_view url,
                                       std::initializer_list<std::string_view> schemes) {
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos) {
        return "not a complete URL (" + schemes_text(schemes) + "://HOST...)";
    }
    const std::string_view scheme = url.substr(0, separator);
    if (std::none_of(schemes.begin(), schemes.end(),
                     [&](std::string_view known) { return same_ignoring_case(scheme, known); })) {
        return "scheme '" + std::string(scheme) + "' is not one of " + schemes_text(schemes);
    }
    const std::string_view rest = url.substr(separator + 3);
    return authority_problem(rest.substr(0, rest.find_first_of("/?#")));
}

std::optional<std::string> tracker_url_problem(std::string_view url) {
    return url_problem(url, {"http", "https", "udp", "wss"});
}

std::optional<std::string> web_seed_url_problem(std::string_view url) {
    return url_problem(url, {"http", "https", "ftp"});
}

std::vector<std::string> split_tier(std::string_view value) {
    std::vector<std::string> tier;
    std::size_t start = 0;
    for (std::size_t comma = value.find(','); comma != std::string_view::npos;
         comma = value.find(',', start)) {
        tier.emplace_back(value.substr(start, comma - start));
        start = comma + 1;
    }
    tier.emplace_back(value.substr(start));
    return tier;
}
