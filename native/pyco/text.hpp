// pyco's text: str()-style formatting into Python str objects, and interned names.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/errors.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace pyco {

// One piece of a formatted text: Python values are written as str() writes them.
struct FmtArg {
    enum Kind { Obj, Text, Int, Double } kind;
    PyObject* obj = nullptr;
    std::string_view text;
    long long i = 0;
    double d = 0;
    py::object holder;  // keeps a value read through an accessor alive
    template <class T, std::enable_if_t<std::is_base_of_v<py::handle, T>, int> = 0>
    FmtArg(const T& h) : kind(Obj), obj(h.ptr()) {}
    template <class Policy>
    FmtArg(const py::detail::accessor<Policy>& a) : kind(Obj), holder(a) { obj = holder.ptr(); }
    FmtArg(const char* s) : kind(Text), text(s) {}
    FmtArg(std::string_view s) : kind(Text), text(s) {}
    FmtArg(const std::string& s) : kind(Text), text(s) {}
    FmtArg(int v) : kind(Int), i(v) {}
    FmtArg(long v) : kind(Int), i(v) {}
    FmtArg(long long v) : kind(Int), i(v) {}
    FmtArg(unsigned long v) : kind(Int), i(static_cast<long long>(v)) {}
    FmtArg(unsigned long long v) : kind(Int), i(static_cast<long long>(v)) {}
    FmtArg(double v) : kind(Double), d(v) {}
};

// Formats `pattern`, replacing each "{}" with the next argument as str() shows it and
// each "{:.Nf}" with the next argument in fixed notation with N decimals.
// The result is a Python str; user text never passes through UTF-8.
py::str format(std::string_view pattern, std::initializer_list<FmtArg> args);

template <class... A>
py::str fmt(std::string_view pattern, const A&... args) {
    return format(pattern, {FmtArg(args)...});
}

// An interned Python string for a C++ literal, made once per process and never freed.
PyObject* intern(const char* s);
// An interned str for a literal.
inline py::str S(const char* s) { return py::reinterpret_borrow<py::str>(intern(s)); }

}  // namespace pyco
