// Text rules of the package client in plain C++: separator runs of project names, the
// trailing separators of index URLs, requirement strings and extra markers.
//
// The functions read a string as a sequence of code points of any width (the three
// storage kinds of a Python str: 1, 2 or 4 bytes per character) and answer with
// character positions into it, so callers slice the original text instead of
// re-encoding it. Nothing here depends on the Python runtime.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace caskwell::text {

// A read-only view of code units of one width (std::basic_string_view is only defined
// for the standard character types).
template <class Ch>
struct View {
    const Ch* data = nullptr;
    std::size_t length = 0;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t size() const noexcept { return length; }
    char32_t operator[](std::size_t i) const noexcept { return static_cast<char32_t>(data[i]); }
    std::size_t find(char32_t c, std::size_t from = 0) const noexcept {
        for (std::size_t i = from; i < length; ++i)
            if (static_cast<char32_t>(data[i]) == c) return i;
        return npos;
    }
};

// A half-open range of character positions [begin, end).
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const noexcept { return end - begin; }
    bool empty() const noexcept { return begin == end; }
    friend bool operator==(const Span&, const Span&) = default;
};

// Whitespace as Python's str.isspace() and the `\s` class of a str pattern see it.
constexpr bool is_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// str.strip() of s[span]: the span without leading and trailing whitespace.
template <class Ch>
Span strip(View<Ch> s, Span span) noexcept {
    while (span.begin < span.end && is_space(s[span.begin])) ++span.begin;
    while (span.end > span.begin && is_space(s[span.end - 1])) --span.end;
    return span;
}

template <class Ch>
Span strip(View<Ch> s) noexcept {
    return strip(s, Span{0, s.size()});
}

// url.rstrip("/\\"): the length of the URL without its trailing run of slashes and
// backslashes.
template <class Ch>
std::size_t url_without_trailing_separators(View<Ch> url) noexcept {
    std::size_t n = url.size();
    while (n > 0 && (url[n - 1] == U'/' || url[n - 1] == U'\\')) --n;
    return n;
}

constexpr bool is_name_separator(char32_t c) noexcept { return c == U'-' || c == U'_' || c == U'.'; }

// The pieces of a name that survive re.sub("[-_.]+", "-", name): the runs between
// separator runs, in order. `leading`/`trailing` tell whether the name starts or ends
// with a separator run (each such run becomes one "-" as well).
struct NameParts {
    std::vector<Span> runs;
    bool leading = false;
    bool trailing = false;
    // True when the name contains no separator other than single hyphens, so the
    // normalised form is the name itself.
    bool unchanged = true;
};

template <class Ch>
NameParts split_name(View<Ch> name) {
    NameParts parts;
    std::size_t i = 0, n = name.size();
    while (i < n) {
        std::size_t start = i;
        while (i < n && !is_name_separator(name[i])) ++i;
        if (i > start) parts.runs.push_back(Span{start, i});
        if (i == n) break;
        std::size_t sep = i;
        while (i < n && is_name_separator(name[i])) ++i;
        if (i - sep != 1 || name[sep] != U'-') parts.unchanged = false;
        if (sep == 0) parts.leading = true;
        if (i == n) parts.trailing = true;
    }
    return parts;
}

constexpr bool is_requirement_name_char(char32_t c) noexcept {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'.' ||
           c == U'_' || c == U'-';
}

// One requirement string taken apart as
//   req.split(";", 1) -> package part and marker part, each stripped;
//   re.match(r"^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*)", package part)
// with the extras bracket stripped of "[]" characters and split at every comma.
struct Requirement {
    Span name;
    Span version_spec;         // group 3, stripped (group 3 stops at a line break, as "." does)
    bool has_extras = false;   // the bracket was present
    std::vector<Span> extras;  // each piece stripped; empty pieces kept
    Span markers;              // after the first ";", stripped; empty when there is none
};

template <class Ch>
std::optional<Requirement> parse_requirement(View<Ch> req) {
    Requirement r;
    std::size_t semi = req.find(U';');
    Span pkg = strip(req, Span{0, semi == View<Ch>::npos ? req.size() : semi});
    if (semi != View<Ch>::npos) r.markers = strip(req, Span{semi + 1, req.size()});
    else r.markers = Span{req.size(), req.size()};

    std::size_t i = pkg.begin;
    while (i < pkg.end && is_requirement_name_char(req[i])) ++i;
    if (i == pkg.begin) return std::nullopt;
    r.name = Span{pkg.begin, i};

    // (\[[^\]]+\])? : a bracket holding at least one character, up to the first "]".
    if (i < pkg.end && req[i] == U'[') {
        std::size_t close = i + 1;
        while (close < pkg.end && req[close] != U']') ++close;
        if (close < pkg.end && close > i + 1) {
            r.has_extras = true;
            // .strip("[]"), then split(","), each piece stripped.
            Span inner{i, close + 1};
            while (inner.begin < inner.end && (req[inner.begin] == U'[' || req[inner.begin] == U']'))
                ++inner.begin;
            while (inner.end > inner.begin && (req[inner.end - 1] == U'[' || req[inner.end - 1] == U']'))
                --inner.end;
            std::size_t piece = inner.begin;
            for (std::size_t k = inner.begin;; ++k) {
                if (k == inner.end || req[k] == U',') {
                    r.extras.push_back(strip(req, Span{piece, k}));
                    if (k == inner.end) break;
                    piece = k + 1;
                }
            }
            i = close + 1;
        }
    }
    // (.*) : the rest of the package part up to a line break.
    std::size_t rest_end = i;
    while (rest_end < pkg.end && req[rest_end] != U'\n') ++rest_end;
    r.version_spec = strip(req, Span{i, rest_end});
    return r;
}

// The name of the first extra marker of a requirement: nothing unless the text contains
// "extra ==" literally; then the first match of r"extra\s*==\s*['\"]([^'\"]+)['\"]"
// (group 1).
template <class Ch>
std::optional<Span> extra_marker(View<Ch> req) {
    static constexpr char32_t guard[] = U"extra ==";
    auto matches_at = [&](std::size_t pos, const char32_t* lit, std::size_t len) {
        if (pos + len > req.size()) return false;
        for (std::size_t k = 0; k < len; ++k)
            if (req[pos + k] != lit[k]) return false;
        return true;
    };
    bool guarded = false;
    for (std::size_t p = 0; p + 8 <= req.size() && !guarded; ++p) guarded = matches_at(p, guard, 8);
    if (!guarded) return std::nullopt;

    auto is_quote = [&](std::size_t k) { return req[k] == U'"' || req[k] == U'\''; };
    for (std::size_t p = 0; p + 5 <= req.size(); ++p) {
        if (!matches_at(p, U"extra", 5)) continue;
        std::size_t k = p + 5;
        while (k < req.size() && is_space(req[k])) ++k;
        if (!matches_at(k, U"==", 2)) continue;
        k += 2;
        while (k < req.size() && is_space(req[k])) ++k;
        if (k >= req.size() || !is_quote(k)) continue;
        std::size_t begin = ++k;
        while (k < req.size() && !is_quote(k)) ++k;
        if (k == begin || k >= req.size()) continue;
        return Span{begin, k};
    }
    return std::nullopt;
}

}  // namespace caskwell::text
