// pyco: the support library shared by the kernel and caskwell modules, and the one header
// every translation unit includes (each target also builds it into a precompiled header).
//
// It gives C++ code the shapes Python code has, one concern to a header:
//  - exit_guard.hpp: C++ frames of the threads CPython ends at interpreter exit (included
//    first: it changes how Py_DECREF releases references, pybind11's included);
//  - errors.hpp: the idioms for Python exceptions (except-Exception semantics, saved and
//    handled exceptions, truth tests that raise);
//  - text.hpp: str()-style formatting into Python str objects and interned names;
//  - coroutines.hpp: Task, a C++20 coroutine that Python sees as a coroutine object
//    (send/throw/close, am_send/am_await), awaiting any Python awaitable with
//    `co_await pyco::await(obj)`, and `async with` / `async for`;
//  - functions.hpp: a function type that Python cannot tell from its own (signature,
//    __code__, descriptor binding, vectorcall) around a C++ body, exact-type argument
//    checks, and closures as named structs;
//  - classes.hpp: ClassBuilder, classes created by calling the metaclass of their bases
//    with a complete namespace, as a class statement would;
//  - served.hpp: the module this copy of the library serves (`pyco::served`: its names
//    read when used, its functions, imports and logging) and the module's set-up.
#pragma once

#include "pyco/exit_guard.hpp"

#include "pyco/classes.hpp"
#include "pyco/coroutines.hpp"
#include "pyco/errors.hpp"
#include "pyco/functions.hpp"
#include "pyco/served.hpp"
#include "pyco/text.hpp"
